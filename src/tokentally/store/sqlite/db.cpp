#include "tokentally/store/sqlite/db.hpp"

#include "tokentally/base/paths.hpp"

#include <fmt/format.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace tokentally::store::sqlite {

namespace {

// Statements that write inside a transaction keep what they change in a
// statement journal, in memory up to a spill size; SQLite allocates that
// whole size (64 kB) at once for every such statement, and glibc then
// consolidates its free lists on every free. Never spilling makes the
// journal grow in 1 kB pieces instead. Only takes effect before SQLite's
// first use in the process (else SQLite refuses it, and nothing changes).
void _configure_sqlite_once() {
    static std::once_flag once;
    std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_STMTJRNL_SPILL, -1); });
}

// Turning a new file's journal into a write-ahead log takes an exclusive
// lock, and SQLite answers SQLITE_BUSY at once, without the busy handler,
// when another connection holds any lock on the file: a burst of calls on a
// brand-new ledger opens several connections together, and all but one got
// "database is locked". Once the file is in WAL mode the pragma takes no
// lock, so this only ever waits on a new file's first moments.
void _use_wal(SQLite::Database& conn) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(BUSY_TIMEOUT_MS);
    for (;;) {
        try {
            conn.exec("PRAGMA journal_mode=WAL");
            return;
        } catch (const SQLite::Exception& e) {
            if ((e.getErrorCode() & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= until) throw;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

namespace {

struct Durabilities {
    std::mutex mu;
    std::unordered_map<std::string, Durability> by_path;
};

Durabilities& _durabilities() {
    static Durabilities d;
    return d;
}

bool _full(const std::string& path) {
    auto& d = _durabilities();
    std::lock_guard lock(d.mu);
    auto it = d.by_path.find(path);
    return it != d.by_path.end() && it->second == Durability::full;
}

}  // namespace

void set_durability(const std::string& path, Durability durability) {
    auto& d = _durabilities();
    std::lock_guard lock(d.mu);
    d.by_path[path] = durability;
}

SQLite::Database open(const std::string& path, int extra_flags) {
    _configure_sqlite_once();
    // SQLite would create the file 0644, and its log files take the file's mode.
    paths::create_private_file(path);
    SQLite::Database conn(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | extra_flags);
    conn.setBusyTimeout(BUSY_TIMEOUT_MS);
    // WAL lets the dashboard and the tools read while the proxy writes, and
    // with synchronous NORMAL a commit no longer waits for the disk: a row
    // that was committed survives a crash of the process (only a power cut
    // can take the last few). FULL waits for the disk at every commit.
    _use_wal(conn);
    conn.exec(_full(path) ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    return conn;
}

namespace {

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId&) const = default;
};

// A file that cannot be looked at is as good as absent here: opening it
// says why.
std::optional<FileId> _file_id(const std::string& path) {
    std::optional<paths::FileStamp> st;
    try {
        st = paths::identity_once(path);
    } catch (const std::exception&) {}
    if (!st) return std::nullopt;
    return FileId{st->dev, st->ino};
}

struct Open {
    FileId id;
    std::unique_ptr<SQLite::Database> db;
    std::unique_ptr<StatementCache> statements;  // destroyed before db
};

// Pages in the write-ahead log beyond which it is copied back into the
// database (SQLite's own default for its automatic checkpoint), and beyond
// which the committing writer copies it itself.
constexpr int CHECKPOINT_PAGES = 1000;
constexpr int CATCH_UP_PAGES = 4 * CHECKPOINT_PAGES;

// Growth of the log, in pages, between two requests for a copy. Each copy
// costs two fsyncs: every 64 pages they took 4 % of the proxy's CPU at 32
// connections.
constexpr int COPY_STEP_PAGES = 256;

// Copies the write-ahead log back into the database on a thread of its own.
// SQLite would do it inside the commit that crossed the threshold, making
// that call (and the answer waiting on it) pay for the copy and two fsyncs;
// here the commit only leaves a note. A passive checkpoint never blocks
// anyone, but under a steady stream of commits it may never reach the log's
// end, and the log only starts over once it has: past CATCH_UP_PAGES the
// commit copies the log itself (`_catch_up`), as SQLite would, while it still
// holds this process's write lock, so the next commit starts the log over.
struct Checkpointer {
    std::mutex mu;
    std::condition_variable wake;
    std::vector<std::string> due;
    std::unordered_map<std::string, int> last_step;  // pages / COPY_STEP_PAGES when last noted
    bool stopping = false;
    std::thread thread;

    Checkpointer() : thread([this] { _run(); }) {}
    ~Checkpointer() {
        {
            std::lock_guard lock(mu);
            stopping = true;
        }
        wake.notify_one();
        thread.join();
    }

    // The log of `path` now holds `pages` (at least CHECKPOINT_PAGES) pages:
    // a copy is asked for each time the log grew by another COPY_STEP_PAGES.
    // Asking on every commit over the mark (the log does not shrink until a
    // copy reaches its end) cost two fsyncs per commit; asking only every
    // 1000 pages let the log reach CATCH_UP_PAGES often, and the commit
    // that copies it then held its calls up for milliseconds (1-connection
    // p99 1.2 ms -> 3.3 ms).
    void note(const std::string& path, int pages) {
        {
            std::lock_guard lock(mu);
            // A log that started over comes back at a lower step: any
            // change of step asks.
            int step = pages / COPY_STEP_PAGES;
            int& last = last_step[path];
            if (step == last) return;
            last = step;
            if (std::find(due.begin(), due.end(), path) != due.end()) return;
            due.push_back(path);
        }
        wake.notify_one();
    }

    void _run() {
        std::unique_lock lock(mu);
        for (;;) {
            wake.wait(lock, [&] { return stopping || !due.empty(); });
            if (stopping) return;
            std::string path = std::move(due.back());
            due.pop_back();
            lock.unlock();
            _checkpoint(path);
            lock.lock();
        }
    }

    static void _checkpoint(const std::string& path) {
        try {
            std::optional<Conn> conn = existing(path);
            if (!conn) return;  // deleted meanwhile: nothing to copy into
            sqlite3_wal_checkpoint_v2(conn->db->getHandle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        } catch (const std::exception&) {
            // Cannot be opened now; the next commit over the mark asks again.
        }
    }
};

Checkpointer& _checkpointer() {
    static Checkpointer c;
    return c;
}

// The log has reached CATCH_UP_PAGES: the committing writer copies it now.
// SQLite refuses a checkpoint while another connection (the background copy,
// or another process) runs one, at once and without its busy handler;
// skipping the catch-up then let the log grow for as long as that copy took,
// tens of megabytes on a slow disk. So it waits for the copy in progress, as
// long as any other lock would be waited for, and then copies the rest. The
// writer holds this process's write lock meanwhile, so no commit of ours adds
// to the log while it waits.
void _catch_up(sqlite3* db) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(BUSY_TIMEOUT_MS);
    while (sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) == SQLITE_BUSY &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int _on_commit(void* path, sqlite3* db, const char*, int pages) {
    if (pages >= CATCH_UP_PAGES)
        _catch_up(db);
    else if (pages >= CHECKPOINT_PAGES)
        _checkpointer().note(*static_cast<const std::string*>(path), pages);
    return SQLITE_OK;
}

// The schema work done per file (once_per_file), by path, purpose and the
// identity of the file it was done on.
struct Done {
    std::mutex mu;
    std::vector<std::tuple<std::string, std::string, FileId>> done;
};

Done& _done() {
    static Done d;
    return d;
}

// The file at `path` was replaced or removed: what was done on it no longer
// holds. Its identity alone cannot tell: once the last connection to a
// removed file closes, a new file at the same path often gets the same inode.
void _forget_done(const std::string& path) {
    auto& d = _done();
    std::lock_guard lock(d.mu);
    std::erase_if(d.done, [&](const auto& entry) { return std::get<0>(entry) == path; });
}

// How many times a connection of this process found the file at a path
// replaced or removed.
struct Generations {
    std::mutex mu;
    std::unordered_map<std::string, std::uint64_t> by_path;
};

Generations& _generations() {
    static Generations g;
    return g;
}

void _next_generation(const std::string& path) {
    auto& g = _generations();
    std::lock_guard lock(g.mu);
    ++g.by_path[path];
}

}  // namespace

std::uint64_t generation(const std::string& path) {
    auto& g = _generations();
    std::lock_guard lock(g.mu);
    auto it = g.by_path.find(path);
    return it == g.by_path.end() ? 0 : it->second;
}

namespace {

// The connections of the calling thread, by path: only this thread uses
// them, so SQLite's per-call locking of a connection is left out.
std::unordered_map<std::string, Open>& _open_here() {
    thread_local std::unordered_map<std::string, Open> open_here;
    return open_here;
}

// The kept connection to the file at `path`, whose identity `id` was just
// looked at (none: no file there).
Conn _connection(const std::string& path, const std::optional<FileId>& id) {
    auto& open_here = _open_here();
    auto it = open_here.find(path);
    if (it == open_here.end() || !id || !(*id == it->second.id)) {
        // Drop the old entry whole first: its statements must be finalised
        // before its connection closes.
        if (it != open_here.end()) {
            open_here.erase(it);
            _forget_done(path);
            _next_generation(path);
        }
        auto fresh = std::make_unique<SQLite::Database>(open(path, SQLite::OPEN_NOMUTEX));
        Open entry{_file_id(path).value_or(FileId{}), std::move(fresh), std::make_unique<StatementCache>()};
        it = open_here.emplace(path, std::move(entry)).first;
        // The map's key outlives the connection it is handed to.
        sqlite3_wal_hook(it->second.db->getHandle(), _on_commit, const_cast<std::string*>(&it->first));
    }
    return Conn{it->second.db.get(), it->second.statements.get()};
}

}  // namespace

Conn connection(const std::string& path) { return _connection(path, _file_id(path)); }

std::optional<Conn> existing(const std::string& path) {
    auto id = _file_id(path);
    if (!id) return std::nullopt;
    return _connection(path, id);
}

WriteLock::WriteLock() {
    static std::mutex writes;
    held = std::unique_lock<std::mutex>(writes);
}

Prepared Conn::prepare(const std::string& sql) const {
    auto& slot = (*statements)[sql];
    if (!slot) slot = std::make_unique<SQLite::Statement>(*db, sql);
    slot->tryReset();
    slot->clearBindings();
    return Prepared{slot.get()};
}

Transaction::Transaction(const Conn& c) : conn(c) { conn.prepare("BEGIN")->exec(); }

void Transaction::commit() {
    conn.prepare("COMMIT")->exec();
    open = false;
}

Transaction::~Transaction() {
    if (!open) return;
    try {
        conn.prepare("ROLLBACK")->exec();
    } catch (const std::exception&) {
        // Nothing to undo when SQLite already rolled back on the error.
    }
}

void once_per_file(const std::string& path, std::string_view what, const std::function<void()>& init) {
    auto& d = _done();
    std::string purpose(what);
    // The identity this thread's connection was checked against a moment
    // ago saves looking at the file again.
    auto& open_here = _open_here();
    auto kept = open_here.find(path);
    auto id = kept != open_here.end() ? std::optional(kept->second.id) : _file_id(path);
    {
        std::lock_guard lock(d.mu);
        if (id && std::find(d.done.begin(), d.done.end(), std::make_tuple(path, purpose, *id)) != d.done.end()) return;
    }
    init();
    if (auto after = _file_id(path)) {
        std::lock_guard lock(d.mu);
        d.done.emplace_back(path, purpose, *after);
    }
}

namespace {

bool _has(SQLite::Database& conn, const char* type, const std::string& name) {
    SQLite::Statement q(conn, "SELECT 1 FROM sqlite_master WHERE type = ? AND name = ?");
    q.bind(1, type);
    q.bind(2, name);
    return q.executeStep();
}

}  // namespace

bool has_table(SQLite::Database& conn, const std::string& name) { return _has(conn, "table", name); }

bool no_such_table(const SQLite::Exception& e) {
    return std::string_view(e.what()).find("no such table") != std::string_view::npos;
}

bool exists(const std::string& path) { return _file_id(path).has_value(); }

std::optional<std::string> opt_text(const SQLite::Column& col) {
    if (col.isNull()) return std::nullopt;
    return col.getString();
}

std::string text_or_empty(const SQLite::Column& col) { return col.isNull() ? std::string() : col.getString(); }

std::optional<std::int64_t> opt_int(const SQLite::Column& col) {
    if (col.isNull()) return std::nullopt;
    return col.getInt64();
}

std::optional<double> opt_real(const SQLite::Column& col) {
    if (col.isNull()) return std::nullopt;
    return col.getDouble();
}

Total total(const SQLite::Column& col) {
    if (col.isNull()) return std::monostate{};
    if (col.isInteger()) return col.getInt64();
    return col.getDouble();
}

}  // namespace tokentally::store::sqlite
