// The package directory (where the tokentally shared libraries live) and its
// data directory, the home of ledger.db and the predictor's model bundle.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

namespace tokentally::paths {

// Directory holding the tokentally shared libraries, found with dladdr.
std::string package_dir();

// $TOKENTALLY_DATA_DIR when set and non-empty; else, for an installed copy,
// user_data_dir(), created (0700) when missing; else package_dir() + "/data",
// the build tree's place.
std::string data_dir();

// The file that `make install` and the Debian package put into the package
// directory, and the build tree never has: an installed package directory is
// not its users' to write in, so their data goes to user_data_dir().
inline constexpr const char* INSTALLED_MARKER = "installed";

// Whether the package directory holds INSTALLED_MARKER (looked at once).
bool installed();

// $XDG_DATA_HOME/tokentally when XDG_DATA_HOME is an absolute path, else
// $HOME/.local/share/tokentally (the home from the password database when
// HOME is unset). Throws when no home directory is known.
std::string user_data_dir();

// data_dir() + "/" + name: the one rule every module derives its paths by.
std::string data_file(const std::string& name);

// What the program creates in its data directory is its user's alone: the
// ledger holds whole answers. Existing files and directories keep their modes.
inline constexpr mode_t PRIVATE_DIR_MODE = 0700;
inline constexpr mode_t PRIVATE_FILE_MODE = 0600;

// Creates the directory holding `file_path` when missing (that one level
// only, not its parents), PRIVATE_DIR_MODE. Throws when it cannot be created.
void ensure_parent_dir(const std::string& file_path);

// Creates an empty file PRIVATE_FILE_MODE (and its directory) when there is
// none, so that what opens it next does not create it with its own mode.
// Throws only when the directory cannot be created.
void create_private_file(const std::string& path);

// Writes `text` beside `path`, synced, and renames it over `path`: a crash
// mid-write never leaves a truncated file. The file keeps the mode it had;
// a new one gets PRIVATE_FILE_MODE.
void replace_file(const std::string& path, const std::string& text);

// The whole content of the file at `path`. Throws naming the path (and the
// system's reason) when it cannot be read.
std::string read_file(const std::string& path);

// Identity, size and times of a file: what tells that it changed.
struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
    bool operator==(const FileStamp& o) const;
};

// The stamp of the file at `path`; nullopt when there is no file. Throws
// naming the path when it cannot be looked at.
std::optional<FileStamp> stamp(const std::string& path);

// stamp(path), for the files looked at on every call (the configuration,
// the imported prices, the ledger's identity), which would cost a stat each:
// a settled stamp is kept while the system's file notifications say that
// neither the file nor the names in its directory changed, and a look reads
// the queued notifications instead (a change is queued before the call that
// made it returns, so a call sent after an edit sees it). An absent file is
// looked up again, unless the caller says absence may be kept too.
std::optional<FileStamp> stamp_once(const std::string& path, bool remember_absent = false);

// Like stamp_once, for callers that only compare the file's identity (dev
// and ino): the other fields may be those of an earlier look.
std::optional<FileStamp> identity_once(const std::string& path);

// While a Serving is held (by the serve command), the notifications are read
// once per call of look_again() instead of at every look (a call makes
// several looks; each read is a system call). A server calls look_again()
// as each request arrives, and work on no request's behalf calls it before
// its looks: every look then still sees each change made before the
// request, or the work, began. Without a Serving, every look reads them.
struct Serving {
    Serving();
    ~Serving();
    Serving(const Serving&) = delete;
    Serving& operator=(const Serving&) = delete;
};

void look_again();

// A file changed this recently may change again within the file system's
// timestamp granularity without its stamp moving; it is not trusted yet.
bool settled(const FileStamp& st);

// The parsed content of a file that is consulted on every proxied call. A
// file whose stamp is unchanged since it was read, and which last changed
// more than a couple of seconds ago, is not read again: a stat is all it
// costs. Otherwise the file is read, and parsed again only when its text
// changed. A text that failed to parse keeps failing with its message.
template <class T>
struct ParsedFile {
    using Parse = std::function<T(const std::string& text, const std::string& path)>;
    explicit ParsedFile(Parse p) : parse(std::move(p)) {}
    Parse parse;
    std::mutex mu;
    std::string path;
    FileStamp stamp;
    std::string text;
    std::shared_ptr<const T> value;
    std::string error;
    bool valid = false;
};

// What `file` holds for the file at `path`: nullptr when there is no file.
// Throws when the file cannot be read, or what its parse threw.
template <class T>
std::shared_ptr<const T> load(ParsedFile<T>& file, const std::string& path) {
    auto answer = [&]() -> std::shared_ptr<const T> {
        if (!file.error.empty()) throw std::runtime_error(file.error);
        return file.value;
    };
    std::optional<FileStamp> now = stamp_once(path, true);
    if (!now) return nullptr;
    {
        std::lock_guard lock(file.mu);
        if (file.valid && file.path == path && file.stamp == *now && settled(*now)) return answer();
    }
    std::string text;
    try {
        text = read_file(path);
    } catch (const std::exception&) {
        if (!stamp(path)) return nullptr;  // gone since it was looked at
        throw;
    }
    std::lock_guard lock(file.mu);
    if (!file.valid || file.path != path || file.text != text) {
        file.path = path;
        file.text = std::move(text);
        file.value.reset();
        file.error.clear();
        file.valid = true;
        try {
            file.value = std::make_shared<const T>(file.parse(file.text, path));
        } catch (const std::exception& e) {
            file.error = e.what();
        }
    }
    file.stamp = *now;
    return answer();
}

}  // namespace tokentally::paths
