// Bodies as clients and providers send them, through the two readers the
// proxy applies to every call: the token counts of an answer's usage block
// and the exact-cache key of a request. _usage may refuse a malformed answer
// with a std::exception (the caller records the call without counts) but
// must not crash or invoke undefined behaviour. The key is 64 lowercase hex
// digits that depend on the model and the conversation only: not on key
// order, not on sampling settings, not on a write/parse round trip.
#include "common.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <cstdint>
#include <exception>
#include <string>

namespace bj = boost::json;
namespace json = tokentally::json;
namespace proxy = tokentally::proxy;

namespace {

bool _is_key(const std::string& key) {
    if (key.size() != 64) return false;
    for (char c : key)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Boost.JSON 1.81 reads some decimal texts a unit in the last place away
// from the nearest real, so a body holding reals may not survive a
// write/parse round trip bit for bit; its key is then allowed to change.
bool _has_real(const bj::value& v) {
    if (v.is_double()) return true;
    if (v.is_array()) {
        for (const auto& item : v.get_array())
            if (_has_real(item)) return true;
    }
    if (v.is_object()) {
        for (const auto& kv : v.get_object())
            if (_has_real(kv.value())) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    boost::system::error_code ec;
    bj::value v = bj::parse(input, ec);
    if (ec) return 0;

    for (std::string_view kind : {"prompt", "completion"}) {
        try {
            (void)proxy::_usage(v, kind);
        } catch (const std::exception&) {
        }
    }

    if (!v.is_object()) return 0;
    const bj::object& body = v.get_object();
    std::string key = proxy::_exact_cache_key("gpt-4o", body);
    if (!_is_key(key)) fuzz::fail("cache key is not 64 hex digits", input, key);

    bj::object reordered;
    for (auto it = body.end(); it != body.begin();) {
        --it;
        reordered[it->key()] = it->value();
    }
    reordered["temperature"] = 0.25;
    reordered["max_tokens"] = 7;
    if (proxy::_exact_cache_key("gpt-4o", reordered) != key)
        fuzz::fail("cache key depends on key order or sampling settings", input, key);

    if (auto again = json::parse_object(json::write(body));
        again && !_has_real(v) && proxy::_exact_cache_key("gpt-4o", *again) != key)
        fuzz::fail("cache key changes across a write/parse round trip", input, key);

    if (proxy::_exact_cache_key("gpt-4o-mini", body) == key)
        fuzz::fail("cache key ignores the model", input, key);
    return 0;
}
