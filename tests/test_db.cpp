// The shared SQLite layer: reused connections, once-per-file schema work,
// the ledger of an earlier version brought up to date, and the one signal
// every figure derived from the calls follows.
#include "support/scratch.hpp"
#include "tokentally/store/sqlite/db.hpp"
#include "tokentally/store/store.hpp"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace db = tokentally::store::sqlite;

namespace {

std::int64_t scalar(const std::string& path, const std::string& sql) {
    SQLite::Database conn(path, SQLite::OPEN_READONLY);
    SQLite::Statement q(conn, sql);
    q.executeStep();
    return q.getColumn(0).getInt64();
}

}  // namespace

// Ledgers written by earlier versions carry spend totals kept by triggers on
// every insert: opened now, they go (so no insert pays for them), and every
// call is still there and summed.
TEST(LedgerUpgrade, ObsoleteTotalsAndTheirTriggersAreDroppedAndNoCallIsLost) {
    tt_test::Scratch s;
    std::filesystem::create_directories(s.data);
    {
        SQLite::Database old(s.db_path(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        old.exec(
            "CREATE TABLE calls (id INTEGER PRIMARY KEY AUTOINCREMENT, ts REAL NOT NULL, model_id TEXT, "
            "tag TEXT DEFAULT 'default', session_id TEXT DEFAULT 'default', prompt_tokens INTEGER, "
            "completion_tokens INTEGER, cost_usd REAL, elapsed_s REAL, status INTEGER, streamed INTEGER DEFAULT 0)");
        old.exec(
            "CREATE TABLE spend_running (tag TEXT NOT NULL, bucket INTEGER NOT NULL, total REAL NOT NULL, "
            "PRIMARY KEY (tag, bucket)) WITHOUT ROWID");
        old.exec("CREATE TABLE spend_running_all (bucket INTEGER PRIMARY KEY, total REAL NOT NULL)");
        old.exec("CREATE TABLE spend_running_mark (upto INTEGER NOT NULL)");
        old.exec(
            "CREATE TRIGGER spend_running_add AFTER INSERT ON calls BEGIN "
            "INSERT INTO spend_running_all VALUES (CAST(NEW.ts / 10 AS INTEGER), NEW.cost_usd) "
            "ON CONFLICT (bucket) DO UPDATE SET total = total + NEW.cost_usd; END");
        old.exec("CREATE TABLE spend_hourly (bucket INTEGER, tag TEXT, cost REAL, PRIMARY KEY (bucket, tag))");
        old.exec("INSERT INTO calls (ts, tag, cost_usd) VALUES (100.0, 'a', 1.5), (200.0, 'b', 2.0)");
    }
    auto st = tokentally::store::open(s.db_path());
    tokentally::store::CallRecord rec{.tag = "a", .cost_usd = 0.5, .status = 200, .ts = 300.0};
    const tokentally::store::CallRecord* rows[] = {&rec};
    st->calls().append(rows);
    EXPECT_EQ(scalar(s.db_path(), "SELECT COUNT(*) FROM sqlite_master WHERE name LIKE 'spend_%'"), 0);
    EXPECT_EQ(scalar(s.db_path(), "SELECT COUNT(*) FROM calls"), 3);
    const tokentally::store::SpendWindow windows[] = {{0, std::nullopt}, {0, "a"}, {150, std::nullopt}};
    EXPECT_EQ(st->calls().spend_since(windows), (std::vector<double>{4.0, 2.0, 2.5}));
}

// What a figure derived from the calls compares before it is read: appends
// move the last id, and every update or deletion, by this process or any
// other program, moves the count of edits.
TEST(LedgerUpgrade, ChangesMoveForAppendsAndForEveryEdit) {
    tt_test::Scratch s;
    auto st = tokentally::store::open(s.db_path());
    EXPECT_EQ(st->calls().changes(), tokentally::store::Changes{});
    EXPECT_FALSE(st->exists()) << "asking creates nothing";
    tokentally::store::CallRecord rec{.cost_usd = 0.5, .status = 200};
    const tokentally::store::CallRecord* rows[] = {&rec, &rec};
    st->calls().append(rows);
    auto first = st->calls().changes();
    EXPECT_EQ(first.last_id, 2);
    EXPECT_EQ(st->calls().changes(), first) << "nothing happened";
    SQLite::Database program(s.db_path(), SQLite::OPEN_READWRITE);
    program.exec("UPDATE calls SET cost_usd = 0.25 WHERE id = 1");
    auto edited = st->calls().changes();
    EXPECT_EQ(edited.last_id, 2);
    EXPECT_NE(edited.edits, first.edits);
    program.exec("DELETE FROM calls WHERE id = 2");
    auto deleted = st->calls().changes();
    EXPECT_NE(deleted.edits, edited.edits);
    EXPECT_EQ(deleted.last_id, 1);
    program.exec("INSERT INTO calls (ts, cost_usd) VALUES (1, 1)");
    EXPECT_EQ(st->calls().changes().last_id, 3) << "AUTOINCREMENT never hands an id out twice";
    EXPECT_EQ(st->calls().changes().edits, deleted.edits);
}

TEST(Connections, ReusedPerThreadAndReopenedWhenTheFileIsReplaced) {
    tt_test::Scratch s;
    auto first = db::connection(s.db_path());
    first.exec("CREATE TABLE t (x INTEGER)");
    {
        auto q = first.prepare("SELECT COUNT(*) FROM t");
        q->executeStep();
    }  // a statement kept with it
    EXPECT_EQ(db::connection(s.db_path()).db, first.db);
    std::filesystem::remove(s.db_path());
    auto again = db::connection(s.db_path());
    // A fresh file, not the deleted one kept alive by the old connection.
    SQLite::Statement q(again, "SELECT COUNT(*) FROM sqlite_master WHERE name = 't'");
    q.executeStep();
    EXPECT_EQ(q.getColumn(0).getInt(), 0);
    EXPECT_TRUE(std::filesystem::exists(s.db_path()));
}

// A removed or replaced ledger is seen by the very next operation.
TEST(Connections, ARemovedFileIsSeenByTheNextLook) {
    tt_test::Scratch s;
    auto first = db::connection(s.db_path());
    first.exec("CREATE TABLE t (x INTEGER)");
    EXPECT_EQ(db::connection(s.db_path()).db, first.db);
    std::filesystem::remove(s.db_path());
    EXPECT_FALSE(db::exists(s.db_path()));
    {
        SQLite::Statement q(db::connection(s.db_path()), "SELECT COUNT(*) FROM sqlite_master WHERE name = 't'");
        q.executeStep();
        EXPECT_EQ(q.getColumn(0).getInt(), 0);
    }
    std::filesystem::remove(s.db_path());
    EXPECT_FALSE(db::exists(s.db_path()));
    db::connection(s.db_path()).exec("CREATE TABLE u (x)");
    EXPECT_TRUE(db::exists(s.db_path()));
}

namespace {

// The log's largest size must stay below this: without any copy back, the
// commits of `_commit_steadily` would take it past 70 MB.
constexpr std::uintmax_t LOG_BOUND = 6000u * 4096u;

std::uintmax_t _log_size(const std::string& db_path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(db_path + "-wal", ec);
    return ec ? 0 : size;
}

// 6000 small commits on one connection, each under the process's write lock
// as the ledger's are; returns the largest size the log reached.
std::uintmax_t _commit_steadily(const std::string& db_path, std::atomic<int>* done = nullptr) {
    auto conn = db::connection(db_path);
    conn.exec("CREATE TABLE IF NOT EXISTS t (x INTEGER, pad TEXT); CREATE INDEX IF NOT EXISTS t_x ON t(x)");
    std::uintmax_t largest = 0;
    for (int i = 0; i < 6000; ++i) {
        db::WriteLock writing;
        auto insert = conn.prepare("INSERT INTO t VALUES (?, ?)");
        insert->bind(1, (i * 7919) % 6000);
        insert->bind(2, std::string(300, 'x'));
        insert->exec();
        largest = std::max(largest, _log_size(db_path));
        if (done) done->store(i + 1);
    }
    return largest;
}

// Holds the log's checkpoint lock as a copy running in another process
// would: an open-file-description lock on its byte of the shared-memory file,
// which SQLite's own locks in this process respect.
struct _CopyElsewhere {
    int fd;
    explicit _CopyElsewhere(const std::string& db_path) : fd(::open((db_path + "-shm").c_str(), O_RDWR)) {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = 120 + 1;  // the lock bytes start at 120; the checkpoint lock is the second
        lock.l_len = 1;
        if (fd < 0 || ::fcntl(fd, F_OFD_SETLK, &lock) != 0) throw std::runtime_error("cannot hold the checkpoint lock");
    }
    ~_CopyElsewhere() { ::close(fd); }
};

}  // namespace

// Commits never wait for the log to be copied back, but the log must not
// grow without end under a steady stream of them either.
TEST(Connections, WriteAheadLogStaysBoundedUnderSteadyCommits) {
    tt_test::Scratch s;
    std::uintmax_t largest = _commit_steadily(s.db_path());
    EXPECT_EQ(SQLite::Database(s.db_path(), SQLite::OPEN_READONLY).execAndGet("SELECT COUNT(*) FROM t").getInt(), 6000);
    EXPECT_LT(largest, LOG_BOUND) << largest;
}

// A copy that is still running when the log reaches the committing writer's
// catch-up mark (on a slow disk the background copy takes long) is waited
// for, not skipped: skipping let the log grow for as long as the copy ran.
// The copy here stands still until the log has stopped growing for a while,
// which only a writer that waits brings about.
TEST(Connections, WriteAheadLogCatchUpWaitsForACopyInProgress) {
    tt_test::Scratch s;
    db::connection(s.db_path()).exec("CREATE TABLE t (x INTEGER, pad TEXT); CREATE INDEX t_x ON t(x)");
    std::optional<_CopyElsewhere> copying(s.db_path());
    std::atomic<int> done{0};
    std::uintmax_t largest = 0;
    std::thread writer([&] { largest = _commit_steadily(s.db_path(), &done); });
    std::uintmax_t seen = 0;
    for (int still = 0; still < 10 && done.load() < 6000;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::uintmax_t size = _log_size(s.db_path());
        still = size == seen ? still + 1 : 0;
        seen = size;
    }
    copying.reset();
    writer.join();
    EXPECT_GT(largest, 3000u * 4096u) << "the log should have reached the catch-up mark while the copy ran";
    EXPECT_LT(largest, LOG_BOUND) << largest;
}

TEST(Connections, OncePerFileRunsAgainForANewFile) {
    tt_test::Scratch s;
    int runs = 0;
    auto init = [&] {
        db::open(s.db_path()).exec("CREATE TABLE IF NOT EXISTS t (x)");
        ++runs;
    };
    db::once_per_file(s.db_path(), "t", init);
    db::once_per_file(s.db_path(), "t", init);
    EXPECT_EQ(runs, 1);
    std::filesystem::remove(s.db_path());
    db::once_per_file(s.db_path(), "t", init);
    EXPECT_EQ(runs, 2);
}

// A burst of calls on a brand-new ledger opens several connections at once;
// turning the new file's journal into a write-ahead log must wait for the
// others, not fail with "database is locked".
TEST(Connections, ManyFirstOpensOfANewFileAllSucceed) {
    for (int round = 0; round < 20; ++round) {
        tt_test::Scratch s;
        std::atomic<int> ready{0}, failed{0};
        std::vector<std::thread> openers;
        for (int i = 0; i < 8; ++i)
            openers.emplace_back([&] {
                ++ready;
                while (ready.load() < 8) std::this_thread::yield();
                try {
                    auto conn = db::open(s.db_path());
                    if (conn.execAndGet("PRAGMA journal_mode").getString() != "wal") ++failed;
                } catch (const std::exception& e) {
                    ADD_FAILURE() << e.what();
                    ++failed;
                }
            });
        for (auto& t : openers) t.join();
        ASSERT_EQ(failed.load(), 0) << "round " << round;
    }
}

// Once the last connection to a removed ledger closes, the new file at the
// same path often gets the old inode: every table must still come back.
TEST(Connections, AReplacedLedgerGetsItsTablesBackOnTheOldInode) {
    tt_test::Scratch s;
    auto st = tokentally::store::open(s.db_path());
    tokentally::store::CallRecord rec{.status = 200};
    const tokentally::store::CallRecord* rows[] = {&rec};
    for (int round = 0; round < 3; ++round) {
        st->calls().append(rows);
        st->exact_cache().put("k", "{}");
        EXPECT_TRUE(st->semantic_cache().prepare()) << "round " << round << ": the index must be built again";
        EXPECT_EQ(st->exact_cache().find("k", 0), "{}") << round;
        EXPECT_EQ(st->calls().latest(10, std::nullopt).size(), 1u) << round;
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(s.db_path() + suffix);
    }
}

// `[ledger] synchronous` reaches every connection of the ledger; a value it
// does not know stops the opening, naming the key.
TEST(LedgerUpgrade, SynchronousSettingReachesTheConnections) {
    tt_test::Scratch s;
    auto level = [&] {
        auto st = tokentally::store::open(s.db_path());
        tokentally::store::CallRecord rec{.status = 200};
        const tokentally::store::CallRecord* rows[] = {&rec};
        st->calls().append(rows);
        int seen = -1;
        std::thread([&] { seen = db::connection(s.db_path()).db->execAndGet("PRAGMA synchronous").getInt(); }).join();
        return seen;
    };
    EXPECT_EQ(level(), 1) << "NORMAL by default";
    s.write_config("[ledger]\nsynchronous = \"full\"\n");
    EXPECT_EQ(level(), 2) << "FULL";
    s.write_config("[ledger]\nsynchronous = \"sometimes\"\n");
    try {
        tokentally::store::open(s.db_path());
        FAIL() << "an unknown setting was taken";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("[ledger] synchronous must be \"normal\" or \"full\""), std::string::npos)
            << e.what();
    }
}
