// The shared SQLite layer: reused connections, once-per-file schema work and
// the running spend totals, which must always agree with summing the calls.
#include "support/scratch.hpp"
#include "tokentally/store/sqlite/db.hpp"
#include "tokentally/store/sqlite/vfs.hpp"
#include "tokentally/store/store.hpp"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <vector>
#include <iterator>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>

namespace db = tokentally::store::sqlite;

namespace {

void _make_calls(const db::Conn& conn) {
    conn.exec("CREATE TABLE calls (id INTEGER PRIMARY KEY AUTOINCREMENT, ts REAL NOT NULL, tag TEXT, cost_usd REAL)");
}

double _direct(SQLite::Database& conn, double since, const char* tag) {
    SQLite::Statement q(conn, std::string("SELECT TOTAL(cost_usd) FROM calls WHERE ts >= ? AND cost_usd IS NOT NULL") +
                                  (tag ? " AND tag = ?" : ""));
    q.bind(1, since);
    if (tag) q.bind(2, tag);
    q.executeStep();
    return q.getColumn(0).getDouble();
}

}  // namespace

TEST(SpendRollup, AgreesWithSummingCallsAcrossWindowsTagsAndEdits) {
    tt_test::Scratch s;
    auto conn = db::connection(s.db_path());
    _make_calls(conn);
    std::mt19937 rng(3);
    double now = 1'700'000'000.0;
    auto insert = [&](int n) {
        SQLite::Statement ins(conn, "INSERT INTO calls (ts, tag, cost_usd) VALUES (?, ?, ?)");
        for (int i = 0; i < n; ++i) {
            ins.bind(1, now - static_cast<double>(rng() % (800 * 3600)) - (rng() % 1000) / 1000.0);
            if (rng() % 10 == 0) ins.bind(2); else ins.bind(2, "t" + std::to_string(rng() % 3));
            if (rng() % 5 == 0) ins.bind(3); else ins.bind(3, static_cast<double>(rng() % 100000) / 1e6);
            ins.exec();
            ins.reset();
        }
    };
    insert(500);                   // before the rollup exists: filled from the calls
    db::ensure_spend_rollup(conn);
    insert(500);                   // after: kept by the insert trigger
    conn.exec("UPDATE calls SET ts = ts - 7200, tag = 't9' WHERE id % 7 = 0");
    conn.exec("UPDATE calls SET cost_usd = NULL WHERE id % 11 = 0");
    conn.exec("DELETE FROM calls WHERE id % 13 = 0");
    for (double hours : {0.5, 1.0, 24.0, 720.0, 10000.0}) {
        double since = now - hours * 3600 + 0.25;
        for (const char* tag : {static_cast<const char*>(nullptr), "t0", "t9"}) {
            double expect = _direct(conn, since, tag);
            double got = db::spend_since(conn, since, tag ? std::optional<std::string>(tag) : std::nullopt);
            EXPECT_NEAR(got, expect, 1e-9) << hours << " h, tag " << (tag ? tag : "-");
        }
    }
    // A call exactly at the window's start is inside it.
    conn.exec("DELETE FROM calls");
    SQLite::Statement one(conn, "INSERT INTO calls (ts, tag, cost_usd) VALUES (?, 'x', 2.5)");
    one.bind(1, now - 86400);
    one.exec();
    EXPECT_EQ(db::spend_since(conn, now - 86400, std::nullopt), 2.5);
    EXPECT_EQ(db::spend_since(conn, now - 86400 + 0.001, std::nullopt), 0.0);
}

// Ledgers written by earlier versions carry hourly and by-minute rollups with
// triggers on every insert: they go, and the running totals start from the
// calls already there.
TEST(SpendRollup, EarlierRollupsAreReplaced) {
    tt_test::Scratch s;
    auto conn = db::connection(s.db_path());
    _make_calls(conn);
    conn.exec("CREATE TABLE spend_hourly (bucket INTEGER, tag TEXT, cost REAL, PRIMARY KEY (bucket, tag))");
    conn.exec("CREATE TRIGGER spend_hourly_insert AFTER INSERT ON calls BEGIN "
              "INSERT INTO spend_hourly VALUES (CAST(NEW.ts / 3600 AS INTEGER), '', NEW.cost_usd); END");
    conn.exec("INSERT INTO calls (ts, tag, cost_usd) VALUES (100.0, 'a', 1.5)");
    db::ensure_spend_rollup(conn);
    conn.exec("INSERT INTO calls (ts, tag, cost_usd) VALUES (100.5, 'a', 2.0)");  // same old bucket: no conflict
    SQLite::Statement left(conn, "SELECT COUNT(*) FROM sqlite_master WHERE name LIKE 'spend_hourly%'");
    left.executeStep();
    EXPECT_EQ(left.getColumn(0).getInt(), 0);
    EXPECT_EQ(db::spend_since(conn, 0, std::optional<std::string>("a")), 3.5);
    EXPECT_EQ(db::spend_since(conn, 100.2, std::nullopt), 2.0);
}

// The insert trigger of the previous version is swapped for the current one
// in the same transaction: a call is counted once, never by both.
TEST(SpendRollup, EarlierInsertTriggerIsReplaced) {
    tt_test::Scratch s;
    auto conn = db::connection(s.db_path());
    _make_calls(conn);
    db::ensure_spend_rollup(conn);
    conn.exec("DROP TRIGGER spend_running_add");
    conn.exec("CREATE TRIGGER spend_running_insert AFTER INSERT ON calls BEGIN "
              "INSERT INTO spend_running VALUES (IFNULL(NEW.tag, ''), CAST(NEW.ts / 10 AS INTEGER), NEW.cost_usd) "
              "ON CONFLICT (tag, bucket) DO UPDATE SET total = total + NEW.cost_usd; END");
    conn.exec("INSERT INTO calls (ts, tag, cost_usd) VALUES (100.0, 'a', 1.5)");
    db::ensure_spend_rollup(conn);
    conn.exec("INSERT INTO calls (ts, tag, cost_usd) VALUES (100.5, 'a', 2.0), (100.7, 'a', NULL)");
    SQLite::Statement left(conn, "SELECT COUNT(*) FROM sqlite_master WHERE name = 'spend_running_insert'");
    left.executeStep();
    EXPECT_EQ(left.getColumn(0).getInt(), 0);
    EXPECT_EQ(db::spend_since(conn, 0, std::optional<std::string>("a")), 3.5);
    EXPECT_EQ(db::spend_since(conn, 0, std::nullopt), 3.5);
}

// An insert does not touch the totals: the next reader folds the new calls
// in, and a reader that cannot write still sums them exactly.
TEST(SpendRollup, InsertsLeaveTheTotalsToTheNextReader) {
    tt_test::Scratch s;
    auto conn = db::connection(s.db_path());
    _make_calls(conn);
    db::ensure_spend_rollup(conn);
    auto insert = [&](int n, double cost) {
        SQLite::Transaction tx(conn);
        SQLite::Statement ins(conn, "INSERT INTO calls (ts, tag, cost_usd) VALUES (?, ?, ?)");
        for (int i = 0; i < n; ++i) {
            ins.bind(1, 1'000'000.0 + i);
            ins.bind(2, i % 2 ? "a" : "b");
            ins.bind(3, cost);
            ins.exec();
            ins.reset();
        }
        tx.commit();
    };
    auto scalar = [&](const char* sql) {
        SQLite::Statement q(conn, sql);
        q.executeStep();
        return q.getColumn(0).getInt64();
    };
    auto agrees = [&](const db::Conn& reader) {
        for (double since : {0.0, 1'000'000.5, 1'003'000.0})
            for (const char* tag : {static_cast<const char*>(nullptr), "a"})
                EXPECT_NEAR(db::spend_since(reader, since, tag ? std::optional<std::string>(tag) : std::nullopt),
                            _direct(conn, since, tag), 1e-9);
    };
    insert(10, 0.25);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM spend_running_all"), 0);

    SQLite::Database read_only(s.db_path(), SQLite::OPEN_READONLY);
    db::StatementCache statements;
    agrees(db::Conn{&read_only, &statements});
    EXPECT_EQ(scalar("SELECT upto FROM spend_running_mark"), 0);

    agrees(conn);
    EXPECT_EQ(scalar("SELECT upto FROM spend_running_mark"), 10);
    insert(6000, 0.125);  // many at once: folded by bucket and tag
    agrees(conn);
    EXPECT_EQ(scalar("SELECT upto FROM spend_running_mark"), 6010);

    // A call put back by hand under the mark is added by its trigger.
    conn.exec("DELETE FROM calls WHERE id = 2");
    conn.exec("INSERT INTO calls (id, ts, tag, cost_usd) VALUES (2, 1000001.0, 'a', 4.0)");
    agrees(conn);
}

TEST(SpendRollup, WithoutTheRollupTheCallsAreSummed) {
    tt_test::Scratch s;
    auto conn = db::connection(s.db_path());
    _make_calls(conn);
    conn.exec("INSERT INTO calls (ts, tag, cost_usd) VALUES (100.0, 'a', 1.5), (200.0, 'b', 2.0), (300.0, 'a', NULL)");
    EXPECT_EQ(db::spend_since(conn, 0, std::nullopt), 3.5);
    EXPECT_EQ(db::spend_since(conn, 0, std::optional<std::string>("a")), 1.5);
    EXPECT_EQ(db::spend_since(conn, 1000, std::nullopt), 0.0);
}

TEST(Connections, ReusedPerThreadAndReopenedWhenTheFileIsReplaced) {
    tt_test::Scratch s;
    auto first = db::connection(s.db_path());
    first.exec("CREATE TABLE t (x INTEGER)");
    { auto q = first.prepare("SELECT COUNT(*) FROM t"); q->executeStep(); }  // a statement kept with it
    EXPECT_EQ(db::connection(s.db_path()).db, first.db);
    std::filesystem::remove(s.db_path());
    auto again = db::connection(s.db_path());
    // A fresh file, not the deleted one kept alive by the old connection.
    SQLite::Statement q(again, "SELECT COUNT(*) FROM sqlite_master WHERE name = 't'");
    q.executeStep();
    EXPECT_EQ(q.getColumn(0).getInt(), 0);
    EXPECT_TRUE(std::filesystem::exists(s.db_path()));
}

// Within one call's work the file is looked up once; the next call sees a
// replaced file again.
TEST(Connections, FileLookedUpOncePerScope) {
    tt_test::Scratch s;
    auto first = db::connection(s.db_path());
    first.exec("CREATE TABLE t (x INTEGER)");
    {
        db::FileLookupsOnce once;
        EXPECT_EQ(db::connection(s.db_path()).db, first.db);
        std::filesystem::remove(s.db_path());
        EXPECT_TRUE(db::exists(s.db_path()));
        EXPECT_EQ(db::connection(s.db_path()).db, first.db);
    }
    EXPECT_FALSE(db::exists(s.db_path()));
    {
        SQLite::Statement q(db::connection(s.db_path()), "SELECT COUNT(*) FROM sqlite_master WHERE name = 't'");
        q.executeStep();
        EXPECT_EQ(q.getColumn(0).getInt(), 0);
    }
    // A file that was absent is looked up again within the scope, once created.
    std::filesystem::remove(s.db_path());
    db::FileLookupsOnce once;
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
    auto init = [&] { db::open(s.db_path()).exec("CREATE TABLE IF NOT EXISTS t (x)"); ++runs; };
    db::once_per_file(s.db_path(), "t", init);
    db::once_per_file(s.db_path(), "t", init);
    EXPECT_EQ(runs, 1);
    std::filesystem::remove(s.db_path());
    db::once_per_file(s.db_path(), "t", init);
    EXPECT_EQ(runs, 2);
}

// The mark a spend kept in memory asks before each budget check: commits
// told to it (by its store object, from any thread) leave the mark alone;
// anything else moves it, whoever wrote and however.
TEST(Connections, WriteMarkMovesForEveryCommitButTheToldOnes) {
    tt_test::Scratch s;
    auto st = tokentally::store::open(s.db_path());
    tokentally::store::CallRecord rec{.cost_usd = 0.5, .status = 200};
    const tokentally::store::CallRecord* rows[] = {&rec};
    st->calls().append(rows);
    auto mark = [&] { return st->calls().write_mark(); };
    mark();  // the first look maps the log's index
    auto before = mark();
    EXPECT_EQ(mark(), before) << "nothing happened";
    st->calls().append_told(rows);
    std::thread([&] { st->calls().append_told(rows); }).join();
    EXPECT_EQ(mark(), before) << "told commits, from this thread and another";

    auto other = tokentally::store::open(s.db_path());
    other->calls().append_told(rows);
    auto after_other = mark();
    EXPECT_NE(after_other, before) << "told to another store object, not to this one";
    std::thread([&] { st->calls().append(rows); }).join();
    auto after_untold = mark();
    EXPECT_NE(after_untold, after_other) << "not told";
    SQLite::Database(s.db_path(), SQLite::OPEN_READWRITE).exec("INSERT INTO calls (ts, cost_usd) VALUES (1, 1)");
    st->calls().append_told(rows);
    auto after_program = mark();
    EXPECT_NE(after_program, after_untold) << "another program's, even with a told commit behind it";
    st->calls().append_told(rows);
    EXPECT_EQ(mark(), after_program) << "told again after the others";
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
        EXPECT_EQ(st->exact_cache().get("k", 0), "{}") << round;
        EXPECT_EQ(st->calls().latest(10, std::nullopt).size(), 1u) << round;
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(s.db_path() + suffix);
    }
}

// The file layer joins a frame header with the page written right behind it
// and changes nothing else: a header followed by a write elsewhere, or by a
// read, reaches the file first, and every byte lands where it was written.
TEST(FileLayer, JoinsFramesAndKeepsEveryByteInPlace) {
    tt_test::Scratch s;
    sqlite3_vfs* vfs = sqlite3_vfs_find(db::frame_joining_vfs());
    ASSERT_NE(vfs, nullptr);
    std::string path = s.root + "/layer.bin";
    std::vector<char> storage(static_cast<std::size_t>(vfs->szOsFile));
    auto* f = reinterpret_cast<sqlite3_file*>(storage.data());
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_MAIN_DB;
    ASSERT_EQ(vfs->xOpen(vfs, path.c_str(), f, flags, &flags), SQLITE_OK);
    auto write = [&](char fill, int amount, sqlite3_int64 at) {
        std::string bytes(static_cast<std::size_t>(amount), fill);
        ASSERT_EQ(f->pMethods->xWrite(f, bytes.data(), amount, at), SQLITE_OK);
    };
    auto read = [&](int amount, sqlite3_int64 at) {
        std::string bytes(static_cast<std::size_t>(amount), '?');
        EXPECT_EQ(f->pMethods->xRead(f, bytes.data(), amount, at), SQLITE_OK);
        return bytes;
    };
    write('h', 24, 0);
    write('p', 100, 24);    // joined
    write('H', 24, 124);
    write('x', 10, 1000);   // elsewhere: the header goes first
    write('k', 24, 148);
    EXPECT_EQ(read(4, 146), "HHkk");  // a read sees a held header
    write('q', 8, 172);
    f->pMethods->xClose(f);
    std::string expect = std::string(24, 'h') + std::string(100, 'p') + std::string(24, 'H') + std::string(24, 'k') +
                         std::string(8, 'q') + std::string(1000 - 180, '\0') + std::string(10, 'x');
    std::ifstream in(path, std::ios::binary);
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, expect);
}

// A commit's frames are held while they follow each other, and are in the
// file for any other reader once the frame that ends the commit is whole.
TEST(FileLayer, ACommitsFramesAreInTheFileOnceItsLastFrameIsWritten) {
    tt_test::Scratch s;
    sqlite3_vfs* vfs = sqlite3_vfs_find(db::frame_joining_vfs());
    std::string path = s.root + "/log.bin";
    std::vector<char> storage(static_cast<std::size_t>(vfs->szOsFile));
    auto* f = reinterpret_cast<sqlite3_file*>(storage.data());
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_MAIN_DB;
    ASSERT_EQ(vfs->xOpen(vfs, path.c_str(), f, flags, &flags), SQLITE_OK);
    auto on_disk = [&] {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    auto frame = [&](char fill, bool ends_commit, sqlite3_int64 at, std::size_t page_bytes = 512) {
        std::string header(24, fill);
        for (int i = 4; i < 8; ++i) header[i] = '\0';
        if (ends_commit) header[7] = 7;  // the database's size after the commit
        EXPECT_EQ(f->pMethods->xWrite(f, header.data(), 24, at), SQLITE_OK);
        std::string page(page_bytes, fill);
        EXPECT_EQ(f->pMethods->xWrite(f, page.data(), static_cast<int>(page_bytes), at + 24), SQLITE_OK);
        return header + page;
    };
    std::string expect;
    for (int round = 0; round < 3; ++round) {
        for (char fill : {'a', 'b', 'c'}) expect += frame(static_cast<char>(fill + round), false, std::ssize(expect));
        expect += frame(static_cast<char>('z' - round), true, std::ssize(expect));
        EXPECT_EQ(on_disk(), expect) << "round " << round;
    }
    // A commit longer than the system layer writes in one call.
    for (int i = 0; i < 40; ++i) expect += frame(static_cast<char>('A' + i), i == 39, std::ssize(expect), 4096);
    EXPECT_EQ(on_disk(), expect);
    f->pMethods->xClose(f);
}

// A ledger written through the layer (many commits, the log copied back
// meanwhile) is whole for a reader on SQLite's own file layer, also while
// the writer still holds the log.
TEST(FileLayer, LedgerReadableThroughSQLitesOwnLayer) {
    tt_test::Scratch s;
    auto conn = db::connection(s.db_path());
    conn.exec("CREATE TABLE t (x INTEGER, pad TEXT)");
    for (int i = 0; i < 3000; ++i) {
        db::WriteLock writing;
        auto insert = conn.prepare("INSERT INTO t VALUES (?, ?)");
        insert->bind(1, i);
        insert->bind(2, std::string(static_cast<std::size_t>(i % 500), 'x'));
        insert->exec();
    }
    SQLite::Database plain(s.db_path(), SQLite::OPEN_READONLY);
    SQLite::Statement check(plain, "PRAGMA integrity_check");
    ASSERT_TRUE(check.executeStep());
    EXPECT_EQ(check.getColumn(0).getString(), "ok");
    SQLite::Statement sum(plain, "SELECT COUNT(*), SUM(x), SUM(LENGTH(pad)) FROM t");
    ASSERT_TRUE(sum.executeStep());
    EXPECT_EQ(sum.getColumn(0).getInt64(), 3000);
    EXPECT_EQ(sum.getColumn(1).getInt64(), 2999LL * 3000 / 2);
    std::int64_t pad = 0;
    for (int i = 0; i < 3000; ++i) pad += i % 500;
    EXPECT_EQ(sum.getColumn(2).getInt64(), pad);
}
