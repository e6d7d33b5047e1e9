#include "tokentally/db.hpp"

#include "tokentally/paths.hpp"

#include <sys/stat.h>

#include <chrono>

namespace tokentally::db {

namespace bj = boost::json;

SQLite::Database open(const std::string& path) {
    paths::ensure_parent_dir(path);
    SQLite::Database conn(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    conn.setBusyTimeout(BUSY_TIMEOUT_MS);
    // WAL lets the dashboard and the tools read while the proxy writes, and
    // with synchronous NORMAL a commit no longer waits for the disk: a row
    // that was committed survives a crash of the process, which is what
    // matters here (only a power cut can take the last few).
    conn.exec("PRAGMA journal_mode=WAL");
    conn.exec("PRAGMA synchronous=NORMAL");
    return conn;
}

bool exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

bj::object row_record(SQLite::Statement& stmt) {
    bj::object rec;
    int n = stmt.getColumnCount();
    for (int i = 0; i < n; ++i) {
        SQLite::Column col = stmt.getColumn(i);
        bj::value v;
        switch (col.getType()) {  // SQLITE_INTEGER, _FLOAT, _TEXT, _BLOB, _NULL
            case 1: v = col.getInt64(); break;
            case 2: v = col.getDouble(); break;
            case 3: v = bj::string(col.getString()); break;
            case 4: v = bj::string(col.getString()); break;
            default: v = nullptr;
        }
        rec[stmt.getColumnName(i)] = std::move(v);
    }
    return rec;
}

bj::array all_records(SQLite::Statement& stmt) {
    bj::array out;
    while (stmt.executeStep()) out.push_back(row_record(stmt));
    return out;
}

double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace tokentally::db
