#include "tokentally/base/paths.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <unordered_map>
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
    // An installed tree finds its libraries through $ORIGIN/../lib/tokentally,
    // a path the loader leaves as it is; $ORIGIN has no links in it, so the
    // ".." can go by the letters alone.
    if (lib.find("/../") != std::string::npos) lib = std::filesystem::path(lib).lexically_normal().string();
    auto slash = lib.rfind('/');
    return slash == std::string::npos ? std::string(".") : lib.substr(0, slash);
}

bool installed() {
    static const bool INSTALLED = ::access((package_dir() + "/" + INSTALLED_MARKER).c_str(), F_OK) == 0;
    return INSTALLED;
}

std::string user_data_dir() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/tokentally";  // relative ones are invalid
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return std::string(home) + "/.local/share/tokentally";
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(getuid(), &entry, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && *found->pw_dir != '\0')
        return std::string(found->pw_dir) + "/.local/share/tokentally";
    throw std::runtime_error("cannot place the data directory: HOME is not set and user " + std::to_string(getuid()) +
                             " has no home directory");
}

namespace {

// Creates what is missing of `dir`, parents included, with mode 0700 (what
// the XDG rules ask of a program that creates them), once per process and
// directory. A failure is left to the first file opened there, which names
// the path and the reason: resolving a path must not stop a command.
void _make_user_dirs(const std::string& dir) {
    static std::mutex mu;
    static std::string made;
    std::lock_guard lock(mu);
    if (made == dir) return;
    for (auto slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), PRIVATE_DIR_MODE) != 0 && errno != EEXIST) return;
        if (slash == std::string::npos) break;
    }
    made = dir;
}

}  // namespace

std::string data_dir() {
    const char* env = std::getenv("TOKENTALLY_DATA_DIR");
    if (env != nullptr && *env != '\0') return env;
    if (!installed()) return package_dir() + "/data";
    std::string dir = user_data_dir();
    _make_user_dirs(dir);
    return dir;
}

std::string data_file(const std::string& name) { return data_dir() + "/" + name; }

void ensure_parent_dir(const std::string& file_path) {
    auto slash = file_path.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    std::string dir = file_path.substr(0, slash);
    if (mkdir(dir.c_str(), PRIVATE_DIR_MODE) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create directory " + dir + ": " + std::strerror(errno));
}

void create_private_file(const std::string& path) {
    ensure_parent_dir(path);
    // A file that exists, or cannot be made here, is left to whatever opens
    // it next, which reports its own error.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, PRIVATE_FILE_MODE);
    if (fd >= 0) ::close(fd);
}

namespace {

void _write_all(int fd, const std::string& text, const std::string& where) {
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error("cannot write " + where + ": " + std::strerror(errno));
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) throw std::runtime_error("cannot write " + where + ": " + std::strerror(errno));
}

}  // namespace

void replace_file(const std::string& path, const std::string& text) {
    ensure_parent_dir(path);
    struct stat old {};
    mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : PRIVATE_FILE_MODE;
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) throw std::runtime_error("cannot create a file beside " + path + ": " + std::strerror(errno));
    try {
        _write_all(fd, text, temp);
        if (::fchmod(fd, mode) != 0 || ::close(fd) != 0)
            throw std::runtime_error("cannot write " + temp + ": " + std::strerror(errno));
        fd = -1;
        if (std::rename(temp.c_str(), path.c_str()) != 0)
            throw std::runtime_error("cannot replace " + path + ": " + std::strerror(errno));
    } catch (...) {
        if (fd >= 0) ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
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
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return std::nullopt;
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    }
    return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

namespace {

// Without notifications (a limit reached) every look is a stat.
constexpr uint32_t DIR_EVENTS =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t FILE_EVENTS = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
// What can change which file a name is: the name's directory says the rest.
constexpr uint32_t IDENTITY_EVENTS = IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

// A whole stamp, or only the file's identity (its other fields as of the
// look that was kept).
enum class Look { stamp, identity };

struct Kept {
    std::optional<FileStamp> stamp;
    int dir_watch;
    int file_watch;  // -1 for a file kept absent
};

struct Notified {
    std::mutex mu;
    int fd = -2;                                 // not opened yet; -1: notifications unavailable
    std::unordered_map<std::string, Kept> kept;  // by _key
    std::atomic<int> serving{0};                 // Serving holders
    std::atomic<std::uint64_t> asked{0};         // look_again() calls so far
    std::uint64_t noted = 0;                     // `asked` when the notes were last read
};

Notified& _notified() {
    static auto* n = new Notified;  // lives on past static destruction
    return *n;
}

std::string _key(const std::string& path, Look look) { return look == Look::stamp ? path : path + '\n'; }

void _forget_watch(Notified& n, int watch) {
    std::erase_if(n.kept, [&](const auto& k) { return k.second.dir_watch == watch || k.second.file_watch == watch; });
}

// Drops every kept stamp that a queued notification concerns.
void _read_notes(Notified& n) {
    constexpr std::size_t LARGEST_NOTE = sizeof(inotify_event) + NAME_MAX + 1;
    alignas(inotify_event) char buf[16384];
    for (;;) {
        ssize_t got = ::read(n.fd, buf, sizeof buf);
        if (got <= 0) return;  // nothing queued (EAGAIN)
        for (char* at = buf; at < buf + got;) {
            auto* ev = reinterpret_cast<inotify_event*>(at);
            if (ev->mask & IN_Q_OVERFLOW)
                n.kept.clear();
            else
                _forget_watch(n, ev->wd);
            at += sizeof(inotify_event) + ev->len;
        }
        // Room left for any note: the queue was empty (no read to learn it).
        if (sizeof buf - static_cast<std::size_t>(got) >= LARGEST_NOTE) return;
    }
}

// The notes need reading at every look, unless the process serves: then
// only when look_again() was called since they were last read.
void _read_notes_if_asked(Notified& n) {
    std::uint64_t asked = n.asked.load();
    if (n.serving.load() > 0 && asked == n.noted) return;
    _read_notes(n);
    n.noted = asked;
}

std::string _dir_of(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Looks at the file, watching it and its directory first (so that a change
// after the look is noted), and keeps what was seen when it may be kept: a
// stamp once settled (a change within the timestamps' granularity could
// leave it unmoved), an identity always, an absence when the caller says so.
std::optional<FileStamp> _look_and_keep(Notified& n, const std::string& path, bool keep_absent, Look look) {
    uint32_t file_events = look == Look::stamp ? FILE_EVENTS : IDENTITY_EVENTS;
    int dir_watch = n.fd < 0 ? -1 : inotify_add_watch(n.fd, _dir_of(path).c_str(), DIR_EVENTS | IN_MASK_ADD);
    int file_watch = dir_watch < 0 ? -1 : inotify_add_watch(n.fd, path.c_str(), file_events | IN_MASK_ADD);
    std::optional<FileStamp> st = stamp(path);
    bool keep = dir_watch >= 0 &&
                (st ? file_watch >= 0 && (look == Look::identity || settled(*st)) : keep_absent && file_watch < 0);
    if (keep) n.kept[_key(path, look)] = {st, dir_watch, file_watch};
    return st;
}

std::optional<FileStamp> _kept_or_looked_at(const std::string& path, bool keep_absent, Look look) {
    Notified& n = _notified();
    std::lock_guard lock(n.mu);
    if (n.fd == -2) n.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (n.fd < 0) return stamp(path);
    _read_notes_if_asked(n);
    if (auto it = n.kept.find(_key(path, look)); it != n.kept.end()) return it->second.stamp;
    return _look_and_keep(n, path, keep_absent, look);
}

}  // namespace

void look_again() { _notified().asked.fetch_add(1); }

Serving::Serving() {
    _notified().serving.fetch_add(1);
    look_again();  // the first look reads what came before
}

Serving::~Serving() { _notified().serving.fetch_sub(1); }

std::optional<FileStamp> stamp_once(const std::string& path, bool remember_absent) {
    return _kept_or_looked_at(path, remember_absent, Look::stamp);
}

std::optional<FileStamp> identity_once(const std::string& path) {
    return _kept_or_looked_at(path, false, Look::identity);
}

bool settled(const FileStamp& st) {
    constexpr time_t SETTLED_SECONDS = 2;
    time_t now = std::time(nullptr);
    return now - st.mtime.tv_sec > SETTLED_SECONDS && now - st.ctime.tv_sec > SETTLED_SECONDS;
}

}  // namespace tokentally::paths
