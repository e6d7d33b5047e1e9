// The Debian package and `cmake --install` of this build tree, checked as a
// user finds them: unpacked with dpkg-deb into a scratch directory (no root
// needed) and run from there with a scratch HOME and without
// TOKENTALLY_DATA_DIR, XDG_DATA_HOME or LD_LIBRARY_PATH.
#include "support/scratch.hpp"
#include "support/serve_process.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <sys/stat.h>

#include <future>
#include <regex>

namespace {

namespace bj = boost::json;
namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string _env(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') throw std::runtime_error(std::string(name) + " is not set");
    return v;
}

// A new empty directory of this program's scratch area.
std::string _fresh(const std::string& name) {
    fs::path dir = fs::path(_env("TOKENTALLY_DATA_DIR")).parent_path() / "install-scratch" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

// Runs `command` with only PATH and the `env` assignments given (stderr
// joined to stdout): nothing of the test's own environment can point the
// installed copy somewhere.
tt_test::CommandResult _run_clean(const std::string& env, const std::string& command) {
    return tt_test::run("env -i PATH=/usr/bin:/bin " + env + " " + command + " 2>&1");
}

// The package unpacked once for the whole program, laid out as dpkg lays
// it under /.
const std::string& _unpacked() {
    static const std::string root = [] {
        std::string dir = _fresh("unpacked");
        auto r = tt_test::run("dpkg-deb -x '" + _env("TOKENTALLY_DEB") + "' '" + dir + "' 2>&1");
        if (r.status != 0) throw std::runtime_error("dpkg-deb -x failed: " + r.out);
        return dir;
    }();
    return root;
}

// `tokentally paths --json` of the executable `bin`, run with `env`.
bj::object _paths(const std::string& bin, const std::string& env) {
    auto r = _run_clean(env, bin + " paths --json");
    if (r.status != 0) throw std::runtime_error(bin + " paths failed: " + r.out);
    return bj::parse(r.out).as_object();
}

std::string _str(const bj::object& o, const char* key) { return std::string(o.at(key).as_string()); }

// What an installed tree under `root` must hold with PREFIX `prefix` (as
// "usr"): nothing outside it, the executable, every library the build
// made, the page, the marker, the unit and the README, and no path into the
// build tree (an absolute RPATH there would still find the build's
// libraries on this machine and nowhere else).
void _expect_installed_tree(const std::string& root, const std::string& prefix) {
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(entry.path(), root).string();
        EXPECT_TRUE(rel == prefix || rel.starts_with(prefix + "/")) << rel << " is outside " << prefix;
    }
    fs::path top = fs::path(root) / prefix;
    for (const char* file :
         {"bin/tokentally", "lib/tokentally/installed", "lib/tokentally/web/index.html", "lib/tokentally/web/app.js",
          "lib/systemd/user/tokentally.service", "share/doc/tokentally/README.md"})
        EXPECT_TRUE(fs::is_regular_file(top / file)) << file;
    std::string build = _env("TOKENTALLY_BUILD_DIR");
    int libraries = 0;
    for (const auto& entry : fs::directory_iterator(build + "/lib")) {
        std::string name = entry.path().filename().string();
        if (!name.starts_with("libtokentally_") || !name.ends_with(".so")) continue;
        ++libraries;
        EXPECT_TRUE(fs::is_regular_file(top / "lib/tokentally" / name)) << name << " is not installed";
    }
    EXPECT_GE(libraries, 10);
    auto refs = tt_test::run("grep -rlF '" + build + "' '" + root + "'");
    EXPECT_EQ(refs.out, "") << "files naming the build directory " << build;
}

// The unit's value of `key`, each line that sets it.
std::vector<std::string> _unit_values(const std::string& unit, const std::string& key) {
    std::vector<std::string> values;
    std::istringstream in(tt_test::read_file(unit));
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(key + "=")) values.push_back(line.substr(key.size() + 1));
    return values;
}

TEST(Package, NamedVersionedAndDependingOnItsLibrariesAndChartJs) {
    std::string deb = _env("TOKENTALLY_DEB");
    auto field = [&](const std::string& name) {
        auto r = tt_test::run("dpkg-deb -f '" + deb + "' " + name);
        EXPECT_EQ(r.status, 0) << name;
        return r.out.substr(0, r.out.find_last_not_of('\n') + 1);
    };
    EXPECT_EQ(field("Package"), "tokentally");
    std::string bin = _unpacked() + "/usr/bin/tokentally";
    auto version = _run_clean("HOME=" + _fresh("home-version"), bin + " --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "tokentally " + field("Version") + "\n");
    // From dpkg-shlibdeps (the C library, SQLite, XGBoost), and Chart.js.
    std::string depends = field("Depends");
    for (const char* dep : {"libc6", "libsqlite3-0", "libxgboost", "libjs-chart.js"})
        EXPECT_THAT(depends, HasSubstr(dep));
    EXPECT_THAT(depends, ::testing::Not(HasSubstr("tokentally")));
    _expect_installed_tree(_unpacked(), "usr");
}

// Where an installed copy keeps its data, and that the build tree keeps its
// own place.
TEST(Package, InstalledCopyKeepsItsDataInTheUsersDataDirectory) {
    std::string bin = _unpacked() + "/usr/bin/tokentally";
    std::string home = _fresh("home-paths");
    bj::object p = _paths(bin, "HOME=" + home);
    EXPECT_EQ(_str(p, "package_dir"), _unpacked() + "/usr/lib/tokentally");
    EXPECT_TRUE(p.at("installed").as_bool());
    std::string data = home + "/.local/share/tokentally";
    EXPECT_EQ(_str(p, "data_dir"), data);
    EXPECT_EQ(_str(p, "config_file"), home + "/.tokentally.toml");
    EXPECT_EQ(_str(p, "ledger"), data + "/ledger.db");
    struct stat st {};
    ASSERT_EQ(::stat(data.c_str(), &st), 0) << "created on first use";
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    std::string xdg = _fresh("xdg");
    EXPECT_EQ(_str(_paths(bin, "HOME=" + home + " XDG_DATA_HOME=" + xdg), "data_dir"), xdg + "/tokentally");
    // A relative XDG_DATA_HOME is no directory at all by the XDG rules.
    EXPECT_EQ(_str(_paths(bin, "HOME=" + home + " XDG_DATA_HOME=rel"), "data_dir"), data);
    EXPECT_EQ(_str(_paths(bin, "HOME=" + home + " TOKENTALLY_DATA_DIR=/srv/tt"), "data_dir"), "/srv/tt");

    std::string build = _env("TOKENTALLY_BUILD_DIR");
    bj::object tree = _paths(build + "/bin/tokentally", "HOME=" + home);
    EXPECT_FALSE(tree.at("installed").as_bool());
    EXPECT_EQ(_str(tree, "data_dir"), build + "/lib/data");

    auto text = _run_clean("HOME=" + home, bin + " paths");
    EXPECT_EQ(text.status, 0);
    EXPECT_THAT(text.out, HasSubstr(home + "/.tokentally.toml (not present)"));
}

// `serve` from the unpacked package: /health, the page and its Chart.js, one
// call recorded in ~/.local/share/tokentally, which `recent` then shows, and
// a SIGTERM while a call is in flight: the call is answered and recorded,
// and the process exits 0 (what the unit's stop relies on).
TEST(Package, ServesRecordsAndStopsCleanlyFromTheUnpackedPackage) {
    std::string bin = _unpacked() + "/usr/bin/tokentally";
    std::string home = _fresh("home-serve");
    std::string log = _fresh("serve-log") + "/serve.log";
    setenv("TOKENTALLY_BIN", bin.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("LD_LIBRARY_PATH");

    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> held{false};
    tt_test::MockServer provider([&](const tt_test::Received&) {
        tt_test::MockReply reply;
        std::string body = tt_test::chat_answer();
        reply.chunks = {body.substr(0, 10), body.substr(10)};
        reply.before_chunk = [&, released](std::size_t) {
            held = true;
            released.wait();
        };
        return reply;
    });
    tt_test::ServeProcess serve(home, "", log);

    auto health = tt_test::call("GET", serve.url() + "/health");
    EXPECT_EQ(health.status, 200);
    auto version = _run_clean("HOME=" + home, bin + " --version");
    EXPECT_EQ(version.out, "tokentally " + _str(bj::parse(health.body).as_object(), "version") + "\n");
    EXPECT_EQ(tt_test::call("GET", serve.url() + "/dashboard").status, 200);
    auto chart = tt_test::call("GET", serve.url() + "/dashboard/static/chart.js");
    EXPECT_EQ(chart.status, 200) << chart.body;
    EXPECT_EQ(chart.body, tt_test::read_file("/usr/share/javascript/chart.js/chart.min.js"));

    auto answered = std::async(std::launch::async, [&] {
        return tt_test::call("POST", serve.url() + "/v1/chat/completions",
                             {{"X-Tokentally-Target", provider.url()}, {"Content-Type", "application/json"}},
                             R"({"model": "gpt-4o", "messages": [{"role": "user", "content": "hi"}]})");
    });
    ASSERT_TRUE(tt_test::eventually([&] { return held.load(); }));
    ::kill(serve.pid, SIGTERM);
    bool stopping = tt_test::eventually(
        [&] { return tt_test::read_file(log).find("finishing requests in flight") != std::string::npos; });
    release.set_value();
    ASSERT_TRUE(stopping) << tt_test::read_file(log);
    auto call = answered.get();
    EXPECT_EQ(call.status, 200) << call.body;
    int status = -1;
    ASSERT_EQ(::waitpid(serve.pid, &status, 0), serve.pid);
    serve.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

    std::string db = home + "/.local/share/tokentally/ledger.db";
    bj::array rows = tt_test::query(db, "SELECT model_id, prompt_tokens, completion_tokens FROM calls");
    ASSERT_EQ(rows.size(), 1u) << db;
    EXPECT_EQ(rows[0].at("prompt_tokens").as_int64(), 10);
    auto recent = _run_clean("HOME=" + home, bin + " recent --json");
    EXPECT_EQ(recent.status, 0);
    bj::array listed = bj::parse(recent.out).as_array();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].at("model_id"), rows[0].at("model_id"));
}

TEST(Package, UserUnitServesOnLoopbackAndPassesSystemdVerify) {
    std::string unit = _unpacked() + "/usr/lib/systemd/user/tokentally.service";
    EXPECT_THAT(_unit_values(unit, "ExecStart"),
                ::testing::ElementsAre("/usr/bin/tokentally serve --host 127.0.0.1 --port 8082"));
    EXPECT_THAT(_unit_values(unit, "Restart"), ::testing::ElementsAre("on-failure"));
    EXPECT_THAT(_unit_values(unit, "WantedBy"), ::testing::ElementsAre("default.target"));
    if (tt_test::run("command -v systemd-analyze").status != 0) GTEST_SKIP() << "systemd-analyze is not installed";
    // verify insists that the executable exists, so the copy checked names
    // the unpacked one; everything else is the packaged text. Warnings
    // (unknown keys, bad values) do not change its status, so any output
    // fails.
    std::string dir = _fresh("unit");
    std::string text = tt_test::read_file(unit);
    text = std::regex_replace(text, std::regex("ExecStart=/usr/bin/"), "ExecStart=" + _unpacked() + "/usr/bin/");
    std::ofstream(dir + "/tokentally.service") << text;
    fs::create_directory(dir + "/runtime");
    fs::permissions(dir + "/runtime", fs::perms::owner_all);
    auto r = _run_clean("HOME=" + dir + " XDG_RUNTIME_DIR=" + dir + "/runtime",
                        "systemd-analyze --user verify " + dir + "/tokentally.service");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "");
}

// `make install DESTDIR=... PREFIX=/usr` (its cmake --install), and the
// staged tree run from another place.
TEST(Install, StaysUnderDestdirAndRunsWhenMoved) {
    std::string dest = _fresh("destdir");
    std::string build = _env("TOKENTALLY_BUILD_DIR");
    auto r =
        tt_test::run("DESTDIR='" + dest + "' '" + _env("TT_CMAKE") + "' --install '" + build + "' --prefix /usr 2>&1");
    ASSERT_EQ(r.status, 0) << r.out;
    _expect_installed_tree(dest, "usr");
    EXPECT_THAT(_unit_values(dest + "/usr/lib/systemd/user/tokentally.service", "ExecStart"),
                ::testing::ElementsAre("/usr/bin/tokentally serve --host 127.0.0.1 --port 8082"));

    std::string moved = _fresh("moved") + "/elsewhere";
    fs::rename(dest + "/usr", moved);
    std::string home = _fresh("home-moved");
    bj::object p = _paths(moved + "/bin/tokentally", "HOME=" + home);
    EXPECT_EQ(_str(p, "package_dir"), moved + "/lib/tokentally");
    EXPECT_EQ(_str(p, "data_dir"), home + "/.local/share/tokentally");
}

}  // namespace
