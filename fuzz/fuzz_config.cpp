// The configuration loader on arbitrary text: config::parse returns a
// mapping or throws a std::exception (a message naming line and column),
// and never crashes, hangs or lets another kind of exception out. What it
// returns must be writable, as `tokentally` prints settings in messages.
#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"

#include <cstdint>
#include <exception>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        boost::json::object cfg = tokentally::config::parse(text, "fuzz.toml");
        (void)tokentally::json::write(cfg);
        (void)tokentally::json::write(cfg, {.sort_keys = true});
    } catch (const std::exception&) {
        // A syntax error is a normal answer for a broken file.
    }
    return 0;
}
