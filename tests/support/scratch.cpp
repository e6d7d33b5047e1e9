#include "support/scratch.hpp"

#include "tokentally/base/logging.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace tt_test {

namespace fs = std::filesystem;

Scratch::Scratch() {
    const char* base = std::getenv("TOKENTALLY_DATA_DIR");
    static std::string root_base = base ? fs::path(base).parent_path().string() : fs::temp_directory_path().string();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "scratch";
    for (auto& c : name)
        if (c == '/') c = '_';
    root = root_base + "/scratch/" + name;
    fs::remove_all(root);
    home = root + "/home";
    data = root + "/data";
    fs::create_directories(home);
    setenv("HOME", home.c_str(), 1);
    setenv("TOKENTALLY_DATA_DIR", data.c_str(), 1);
}

std::shared_ptr<tokentally::store::Store> store() {
    return tokentally::store::open(tokentally::store::default_location());
}

boost::json::object row_record(SQLite::Statement& stmt) {
    boost::json::object rec;
    int n = stmt.getColumnCount();
    for (int i = 0; i < n; ++i) {
        SQLite::Column col = stmt.getColumn(i);
        boost::json::value v;
        switch (col.getType()) {  // SQLITE_INTEGER, _FLOAT, _TEXT, _BLOB, _NULL
            case 1:
                v = col.getInt64();
                break;
            case 2:
                v = col.getDouble();
                break;
            case 3:
                v = boost::json::string(col.getString());
                break;
            case 4:
                v = boost::json::string(col.getString());
                break;
            default:
                v = nullptr;
        }
        rec[stmt.getColumnName(i)] = std::move(v);
    }
    return rec;
}

boost::json::array all_records(SQLite::Statement& stmt) {
    boost::json::array out;
    while (stmt.executeStep()) out.push_back(row_record(stmt));
    return out;
}

void Scratch::write_config(const std::string& toml) const { std::ofstream(home + "/.tokentally.toml") << toml; }

boost::json::array query(const std::string& path, const std::string& sql) {
    if (!fs::exists(path)) return {};
    SQLite::Database conn(path, SQLite::OPEN_READONLY);
    SQLite::Statement stmt(conn, sql);
    return all_records(stmt);
}

LogCapture::LogCapture() : sink(std::make_shared<spdlog::sinks::ostream_sink_mt>(out)) {
    sink->set_pattern("%l %n: %v");
    tokentally::logging::add_sink(sink);
}

LogCapture::~LogCapture() { tokentally::logging::remove_sink(sink); }

std::string LogCapture::text() const {
    sink->flush();
    return out.str();
}

std::vector<std::string> LogCapture::lines() const {
    std::vector<std::string> result;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

CommandResult run(const std::string& command) {
    CommandResult r;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int rc = pclose(p);
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return r;
}

}  // namespace tt_test
