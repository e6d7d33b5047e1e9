#include "tokentally/base/config.hpp"

#include "tokentally/base/json.hpp"
#include "tokentally/base/paths.hpp"

#include <toml++/toml.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace tokentally::config {

namespace bj = boost::json;

namespace {

bj::value _to_json(const toml::node& node);

bj::object _table_to_json(const toml::table& tbl) {
    bj::object out;
    for (const auto& [key, val] : tbl) out[std::string(key.str())] = _to_json(val);
    return out;
}

// Tables become objects, arrays arrays, numbers and strings stay as they are;
// dates and times have no JSON type and are kept as their TOML text.
bj::value _to_json(const toml::node& node) {
    if (auto* t = node.as_table()) return _table_to_json(*t);
    if (auto* a = node.as_array()) {
        bj::array out;
        for (const auto& item : *a) out.push_back(_to_json(item));
        return out;
    }
    if (auto* s = node.as_string()) return bj::value(s->get());
    if (auto* i = node.as_integer()) return bj::value(i->get());
    if (auto* f = node.as_floating_point()) return bj::value(f->get());
    if (auto* b = node.as_boolean()) return bj::value(b->get());
    std::ostringstream text;
    if (auto* d = node.as_date())
        text << d->get();
    else if (auto* t = node.as_time())
        text << t->get();
    else if (auto* dt = node.as_date_time())
        text << dt->get();
    return bj::value(text.str());
}

}  // namespace

std::string config_path() {
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.tokentally.toml";
}

bj::object parse(std::string_view text, const std::string& source) {
    try {
        return _table_to_json(toml::parse(text, source));
    } catch (const toml::parse_error& e) {
        const auto& where = e.source().begin;
        throw std::runtime_error(source + ":" + std::to_string(where.line) + ":" + std::to_string(where.column) + ": " +
                                 std::string(e.description()));
    }
}

bj::object load() { return *load_shared(); }

std::shared_ptr<const bj::object> load_shared() {
    static const auto NONE = std::make_shared<const bj::object>();
    static paths::ParsedFile<bj::object> file{parse};
    auto cfg = paths::load(file, config_path());
    return cfg ? cfg : NONE;
}

std::optional<std::string> ledger_url() {
    const char* env = std::getenv("TOKENTALLY_LEDGER_URL");
    if (env != nullptr && *env != '\0') return std::string(env);
    bj::object cfg = load();
    const bj::value* url = json::table(cfg, "ledger").if_contains("url");
    if (url == nullptr || url->is_null()) return std::nullopt;
    if (!url->is_string()) throw std::runtime_error(config_path() + ": [ledger] url must be a string");
    if (url->get_string().empty()) return std::nullopt;
    return std::string(url->get_string());
}

std::string ledger_synchronous() {
    bj::object cfg = load();
    const bj::value* v = json::table(cfg, "ledger").if_contains("synchronous");
    if (v == nullptr || v->is_null()) return "normal";
    if (v->is_string() && (v->get_string() == "normal" || v->get_string() == "full"))
        return std::string(v->get_string());
    throw std::runtime_error(config_path() + ": [ledger] synchronous must be \"normal\" or \"full\", not " +
                             json::write(*v));
}

}  // namespace tokentally::config
