// The libpq layer of the PostgreSQL store: connections kept in a pool and
// reused by every operation, statements prepared once per connection,
// parameters and results as text, and what happens when the server goes
// away (one log line per outage, a fresh connection when it is back).
#pragma once

#include "tokentally/base/logging.hpp"
#include "tokentally/store/store.hpp"

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tokentally::store::postgres {

// A failure reported by the server or by libpq. `sqlstate` is the server's
// code ("42P01" for a missing table), empty when the connection failed.
struct Error : std::runtime_error {
    Error(const std::string& what, std::string state, bool lost)
        : std::runtime_error(what), sqlstate(std::move(state)), connection_lost(lost) {}
    std::string sqlstate;
    bool connection_lost;
};

// The server went away or cannot be reached: the pool logs that once per
// outage, with the first failure's message, and once when it is back.
struct Outage final : Error, logging::LoggedOutage {
    Outage(const std::string& what, std::string state) : Error(what, std::move(state), true) {}
};

inline constexpr const char* UNDEFINED_TABLE = "42P01";

// "postgresql://user@host:port/dbname" without the password and the query:
// how the URL is named in messages and logs.
std::string redacted(const std::string& url);

// A statement parameter in text form (binary for bytea); none is NULL.
struct Param {
    std::optional<std::string> value;
    bool binary = false;
};
Param param(double v);
Param param(std::int64_t v);
Param param(int v);
Param param(bool v);
Param param(const std::string& v);
Param param(std::string_view v);
Param param(const char* v);
template <class T>
Param param(const std::optional<T>& v) {
    return v ? param(*v) : Param{};
}
// Bytes stored in a bytea column.
Param bytes(const std::string& v);
// The ids as a bigint[] parameter.
Param id_array(std::span<const std::int64_t> ids);
// A PostgreSQL array literal of `values` (none as NULL), for unnest().
Param array(const std::vector<std::optional<std::string>>& values);

// An answer of the server, freed when it goes; cells read as text.
class Result {
public:
    explicit Result(PGresult* r) : r_(r) {}
    Result(Result&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ~Result() {
        if (r_) PQclear(r_);
    }

    int rows() const { return PQntuples(r_); }
    bool null(int row, int col) const { return PQgetisnull(r_, row, col) != 0; }
    std::string text(int row, int col) const { return PQgetvalue(r_, row, col); }
    std::optional<std::string> opt_text(int row, int col) const;
    std::int64_t integer(int row, int col) const;
    std::optional<std::int64_t> opt_integer(int row, int col) const;
    double real(int row, int col) const;
    std::optional<double> opt_real(int row, int col) const;
    // A bytea column's bytes.
    std::string bytes(int row, int col) const;

private:
    PGresult* r_;
};

class Pool;

// An open connection and the statements prepared on it (by SQL text).
struct Conn {
    explicit Conn(PGconn* c) : pg(c) {}
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    ~Conn() { PQfinish(pg); }
    PGconn* pg;
    std::unordered_map<std::string, std::string> prepared;
};

// One connection borrowed from the pool for one operation; back in the pool
// when it goes (rolled back first if a transaction was left open), or closed
// when it broke.
class Session {
public:
    Session(Pool& pool, std::unique_ptr<Conn> conn, bool reused);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();

    // Runs `sql` (prepared on this connection on first use) with `params`.
    // Throws Error naming the database.
    Result exec(const std::string& sql, const std::vector<Param>& params = {});
    // Runs `sql` without parameters and without preparing it (BEGIN, DDL).
    void command(const std::string& sql);

    // True when nothing ran on this connection yet and it came from the
    // pool: a failure then means it died while idle, and the operation can
    // safely start over on a fresh one.
    bool fresh_failure_retryable() const { return reused_ && ran_ == 0; }

private:
    [[noreturn]] void _fail(PGresult* r);
    Pool& pool_;
    std::unique_ptr<Conn> conn_;
    bool reused_;
    int ran_ = 0;
};

class Pool {
public:
    Pool(std::string url, Durability durability);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // The URL as named in messages (no password).
    const std::string& name() const { return name_; }

    // Runs `op` on a pooled connection (opening one when none is idle); an
    // operation whose idle connection had died before it ran anything runs
    // again once on a new one. Throws Error; while the server is unreachable
    // it fails fast, trying to connect again every RETRY_INTERVAL.
    template <class Op>
    auto run(Op&& op) {
        for (int attempt = 0;; ++attempt) {
            auto [conn, reused] = _take();
            Session s(*this, std::move(conn), reused);
            try {
                return op(s);
            } catch (const Error& e) {
                if (!e.connection_lost || attempt > 0 || !s.fresh_failure_retryable()) throw;
            }
        }
    }

    static constexpr std::chrono::milliseconds RETRY_INTERVAL{100};

private:
    friend class Session;
    std::pair<std::unique_ptr<Conn>, bool> _take();
    std::unique_ptr<Conn> _connect();
    void _give_back(std::unique_ptr<Conn> conn);
    void _lost(const std::string& why);
    void _reachable();
    void _down(const char* what, const std::string& why);
    [[noreturn]] void _unreachable(const std::string& why);

    const std::string url_;
    const std::string name_;
    const Durability durability_;
    std::mutex mu_;
    std::vector<std::unique_ptr<Conn>> idle_;
    bool down_ = false;
    std::chrono::steady_clock::time_point next_attempt_{};
};

}  // namespace tokentally::store::postgres
