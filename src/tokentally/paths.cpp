#include "tokentally/paths.hpp"

#include <dlfcn.h>
#include <sys/stat.h>

#include <vector>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tokentally::paths {

std::string package_dir() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&package_dir), &info) == 0 || info.dli_fname == nullptr)
        throw std::runtime_error("cannot locate the tokentally libraries (dladdr failed)");
    std::string lib = info.dli_fname;
    auto slash = lib.rfind('/');
    return slash == std::string::npos ? std::string(".") : lib.substr(0, slash);
}

std::string data_dir() {
    const char* env = std::getenv("TOKENTALLY_DATA_DIR");
    if (env != nullptr && *env != '\0') return env;
    return package_dir() + "/data";
}

std::string data_file(const std::string& name) { return data_dir() + "/" + name; }

void ensure_parent_dir(const std::string& file_path) {
    auto slash = file_path.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    std::string dir = file_path.substr(0, slash);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create directory " + dir + ": " + std::strerror(errno));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    return text.str();
}

bool FileStamp::operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
}

std::optional<FileStamp> stamp(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return std::nullopt;
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    }
    return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

namespace {

// What the LookupsOnce alive on this thread has seen: a path and its stamp,
// none for a path remembered absent.
thread_local bool _remembering = false;
thread_local std::vector<std::pair<std::string, std::optional<FileStamp>>> _seen;

}  // namespace

LookupsOnce::LookupsOnce() : outermost(!_remembering) { _remembering = true; }

LookupsOnce::~LookupsOnce() {
    if (!outermost) return;
    _remembering = false;
    _seen.clear();
}

std::optional<FileStamp> stamp_once(const std::string& path, bool remember_absent) {
    if (!_remembering) return stamp(path);
    for (const auto& [seen, st] : _seen)
        if (seen == path) return st;
    std::optional<FileStamp> st = stamp(path);
    if (st || remember_absent) _seen.emplace_back(path, st);
    return st;
}

bool settled(const FileStamp& st) {
    constexpr time_t SETTLED_SECONDS = 2;
    time_t now = std::time(nullptr);
    return now - st.mtime.tv_sec > SETTLED_SECONDS && now - st.ctime.tv_sec > SETTLED_SECONDS;
}

}  // namespace tokentally::paths
