#include "tokentally/config.hpp"

#include <toml++/toml.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
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
    if (auto* d = node.as_date()) text << d->get();
    else if (auto* t = node.as_time()) text << t->get();
    else if (auto* dt = node.as_date_time()) text << dt->get();
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
        throw std::runtime_error(source + ":" + std::to_string(where.line) + ":" +
                                 std::to_string(where.column) + ": " + std::string(e.description()));
    }
}

namespace {

// The text as last parsed and what it gave. Each load still reads the file
// (a small read), so an edit takes effect on the very next load whatever the
// file system's timestamp granularity, but the TOML is parsed only when the
// text changed. A text that failed to parse keeps failing with its message.
struct _Cached {
    std::string path;
    std::string text;
    bj::object value;
    std::string error;
    bool valid = false;
};

}  // namespace

bj::object load() {
    static std::mutex mu;
    static _Cached cached;
    std::string path = config_path();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return {};
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    std::lock_guard lock(mu);
    if (!cached.valid || cached.path != path || cached.text != text.str()) {
        _Cached fresh{path, text.str(), {}, {}, true};
        try {
            fresh.value = parse(fresh.text, path);
        } catch (const std::exception& e) {
            fresh.error = e.what();
        }
        cached = std::move(fresh);
    }
    if (!cached.error.empty()) throw std::runtime_error(cached.error);
    return cached.value;
}

}  // namespace tokentally::config
