#include "tokentally/config.hpp"

#include "tokentally/paths.hpp"

#include <toml++/toml.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// Identity and times of the file as last read.
struct _Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
    bool operator==(const _Stamp& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

// A file changed this recently may change again within the file system's
// timestamp granularity without its stamp moving; such a file is re-read.
constexpr time_t SETTLED_SECONDS = 2;

bool _settled(const _Stamp& st) {
    time_t now = std::time(nullptr);
    return now - st.mtime.tv_sec > SETTLED_SECONDS && now - st.ctime.tv_sec > SETTLED_SECONDS;
}

// The text as last parsed and what it gave. A file whose identity, size and
// times are unchanged since it was read, and which was last changed more than
// a couple of seconds ago, is not read again: the configuration is consulted
// several times per call and a stat is all it then costs. Otherwise the file
// is read and parsed again only when its text changed. A text that failed to
// parse keeps failing with its message.
struct _Cached {
    std::string path;
    _Stamp stamp;
    std::string text;
    std::shared_ptr<const bj::object> value;
    std::string error;
    bool valid = false;
};

std::shared_ptr<const bj::object> _answer(const _Cached& cached) {
    if (!cached.error.empty()) throw std::runtime_error(cached.error);
    return cached.value;
}

}  // namespace

bj::object load() { return *load_shared(); }

std::shared_ptr<const bj::object> load_shared() {
    static const auto NONE = std::make_shared<const bj::object>();
    static std::mutex mu;
    static _Cached cached;
    std::string path = config_path();
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return NONE;
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    }
    _Stamp stamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    {
        std::lock_guard lock(mu);
        if (cached.valid && cached.path == path && cached.stamp == stamp && _settled(stamp)) return _answer(cached);
    }
    std::string text = paths::read_file(path);
    std::lock_guard lock(mu);
    if (!cached.valid || cached.path != path || cached.text != text) {
        _Cached fresh{path, stamp, std::move(text), {}, {}, true};
        try {
            fresh.value = std::make_shared<const bj::object>(parse(fresh.text, path));
        } catch (const std::exception& e) {
            fresh.error = e.what();
        }
        cached = std::move(fresh);
    }
    cached.stamp = stamp;
    return _answer(cached);
}

}  // namespace tokentally::config
