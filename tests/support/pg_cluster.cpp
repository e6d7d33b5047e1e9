#include "support/pg_cluster.hpp"

#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>

extern char** environ;

namespace tt_test {

namespace fs = std::filesystem;

namespace {

// The superuser initdb makes; trust authentication on the socket only.
constexpr const char* PG_USER = "tokentally";

std::string _quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Output and exit status of a shell command.
std::pair<int, std::string> _shell(const std::string& cmd) {
    std::string out;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) throw std::runtime_error("cannot run: " + cmd);
    std::array<char, 4096> buf;
    while (std::size_t n = std::fread(buf.data(), 1, buf.size(), p)) out.append(buf.data(), n);
    int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

void _must(const std::string& cmd) {
    auto [rc, out] = _shell(cmd);
    if (rc != 0) throw std::runtime_error("failed (" + std::to_string(rc) + "): " + cmd + "\n" + out);
}

struct _Cluster {
    std::string dir;       // socket directory; the data is in dir/data
    std::string as_owner;  // prefix that runs a command as the cluster's owner

    std::string pg_ctl(const std::string& action) const {
        return as_owner + _quoted(pg_bindir() + "/pg_ctl") + " -D " + _quoted(dir + "/data") + " -l " +
               _quoted(dir + "/server.log") + " -w -t 60 " + action;
    }
    std::string admin_url() const { return url_of("postgres"); }
    std::string url_of(const std::string& db) const {
        return std::string("postgresql://") + PG_USER + "@/" + db + "?host=" + dir;
    }
};

_Cluster* _running = nullptr;
std::mutex _mu;

// When the tests run as root the cluster belongs to `nobody`.
std::string _owner_prefix(const std::string& dir) {
    if (geteuid() != 0) return "";
    passwd* pw = getpwnam("nobody");
    if (!pw) throw std::runtime_error("no user 'nobody' to run the PostgreSQL server as");
    if (chown(dir.c_str(), pw->pw_uid, pw->pw_gid) != 0) throw std::runtime_error("cannot chown " + dir);
    return "runuser -u nobody -- ";
}

// A detached shell that waits for this process to end, then stops the
// cluster at once and removes its directory.
void _watch(const _Cluster& c) {
    std::string script = "while kill -0 " + std::to_string(getpid()) + " 2>/dev/null; do sleep 1; done; " +
                         c.pg_ctl("-m immediate stop") + " >/dev/null 2>&1; rm -rf " + _quoted(c.dir);
    std::string cmd = "setsid sh -c " + _quoted(script) + " </dev/null >/dev/null 2>&1 &";
    _must(cmd);
}

void _stop_at_exit() {
    std::lock_guard lock(_mu);
    if (!_running) return;
    _shell(_running->pg_ctl("-m immediate stop"));
    fs::remove_all(_running->dir);
}

_Cluster& _cluster() {
    std::lock_guard lock(_mu);
    if (_running) return *_running;
    if (auto why = pg_unavailable()) throw std::runtime_error(*why);
    char tmpl[] = "/tmp/tt-pg-XXXXXX";  // short: a socket path has 107 bytes at most
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    auto* c = new _Cluster{tmpl, ""};
    c->as_owner = _owner_prefix(c->dir);
    _watch(*c);
    _must(c->as_owner + _quoted(pg_bindir() + "/initdb") + " -D " + _quoted(c->dir + "/data") + " -U " + PG_USER +
          " --auth=trust -E UTF8 --no-sync --no-instructions");
    std::ofstream(c->dir + "/data/postgresql.conf", std::ios::app)
        << "listen_addresses = ''\nunix_socket_directories = '" << c->dir
        << "'\nfsync = off\nfull_page_writes = off\nmax_connections = 400\nshared_buffers = 32MB\n";
    _must(c->pg_ctl("start"));
    _running = c;
    std::atexit(_stop_at_exit);
    return *c;
}

}  // namespace

std::string pg_bindir() {
    const char* env = std::getenv("TOKENTALLY_PG_BINDIR");
    return env && *env ? env : "/usr/lib/postgresql/15/bin";
}

std::optional<std::string> pg_unavailable() {
    for (const char* tool : {"initdb", "pg_ctl", "psql"})
        if (!fs::exists(pg_bindir() + "/" + tool))
            return "PostgreSQL server binaries not found in " + pg_bindir() +
                   " (scripts/install-deps.sh installs postgresql-15)";
    return std::nullopt;
}

std::string pg_database() {
    static std::atomic<int> made{0};
    _Cluster& c = _cluster();
    std::string name = "tt_" + std::to_string(++made);
    pg_query(c.admin_url(), "CREATE DATABASE " + name);
    return c.url_of(name);
}

void pg_stop() { _must(_cluster().pg_ctl("-m fast stop")); }

void pg_start() { _must(_cluster().pg_ctl("start")); }

std::string pg_query(const std::string& url, const std::string& sql) {
    auto [rc, out] = _shell(_quoted(pg_bindir() + "/psql") + " -X -q -A -t -v ON_ERROR_STOP=1 -d " + _quoted(url) +
                            " -c " + _quoted(sql));
    if (rc != 0) throw std::runtime_error("psql failed: " + sql + "\n" + out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace tt_test
