#include "tokentally/store/postgres/pg.hpp"

#include "tokentally/base/logging.hpp"

#include <fmt/format.h>

#include <cstdlib>
#include <memory>

namespace tokentally::store::postgres {

namespace {

constexpr const char* LOGGER = "tokentally.ledger";

// Seconds libpq waits for a connection when the URL does not say: a server
// that does not answer must not hold a call for the system's default of
// minutes.
constexpr const char* CONNECT_TIMEOUT_S = "5";

// libpq's message on one line: its own lines ("server closed the
// connection unexpectedly\n\tThis probably means...") joined by a space.
std::string _trimmed(const char* message) {
    std::string m;
    for (const char* c = message ? message : ""; *c; ++c) {
        bool space = *c == '\n' || *c == '\t' || *c == ' ';
        if (!space)
            m += *c;
        else if (!m.empty() && m.back() != ' ')
            m += ' ';
    }
    while (!m.empty() && m.back() == ' ') m.pop_back();
    return m;
}

struct Options {
    PQconninfoOption* opts = nullptr;
    ~Options() {
        if (opts) PQconninfoFree(opts);
    }
    std::string get(std::string_view key) const {
        for (auto* o = opts; o && o->keyword; ++o)
            if (key == o->keyword && o->val) return o->val;
        return "";
    }
};

}  // namespace

std::string redacted(const std::string& url) {
    Options o;
    char* error = nullptr;
    o.opts = PQconninfoParse(url.c_str(), &error);
    if (!o.opts) {
        PQfreemem(error);
        return "(unparsable PostgreSQL URL)";
    }
    std::string user = o.get("user"), host = o.get("host"), port = o.get("port");
    std::string name = "postgresql://" + (user.empty() ? "" : user + "@");
    // A socket directory is a path: named as libpq's own messages name it.
    if (!host.empty() && host.front() == '/')
        name += "[" + host + "]";
    else
        name += host;
    if (!port.empty()) name += ":" + port;
    return name + "/" + o.get("dbname");
}

// --- parameters -----------------------------------------------------------------

// Shortest text that reads back as the same double (PostgreSQL 12 and later
// print float8 the same way).
Param param(double v) { return {fmt::format("{}", v)}; }
Param param(std::int64_t v) { return {std::to_string(v)}; }
Param param(int v) { return {std::to_string(v)}; }
Param param(bool v) { return {v ? "1" : "0"}; }
Param param(const std::string& v) { return {v}; }
Param param(std::string_view v) { return {std::string(v)}; }
Param param(const char* v) { return {std::string(v)}; }
Param bytes(const std::string& v) { return {v, true}; }

Param array(const std::vector<std::optional<std::string>>& values) {
    std::string text = "{";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) text += ',';
        if (!values[i]) {
            text += "NULL";
            continue;
        }
        text += '"';
        for (char c : *values[i]) {
            if (c == '"' || c == '\\') text += '\\';
            text += c;
        }
        text += '"';
    }
    return {text + "}"};
}

Param id_array(std::span<const std::int64_t> ids) {
    std::vector<std::optional<std::string>> texts;
    for (std::int64_t id : ids) texts.push_back(std::to_string(id));
    return array(texts);
}

// --- results --------------------------------------------------------------------

std::optional<std::string> Result::opt_text(int row, int col) const {
    if (null(row, col)) return std::nullopt;
    return text(row, col);
}

std::int64_t Result::integer(int row, int col) const { return std::strtoll(PQgetvalue(r_, row, col), nullptr, 10); }

std::optional<std::int64_t> Result::opt_integer(int row, int col) const {
    if (null(row, col)) return std::nullopt;
    return integer(row, col);
}

double Result::real(int row, int col) const { return std::strtod(PQgetvalue(r_, row, col), nullptr); }

std::optional<double> Result::opt_real(int row, int col) const {
    if (null(row, col)) return std::nullopt;
    return real(row, col);
}

std::string Result::bytes(int row, int col) const {
    std::size_t n = 0;
    unsigned char* raw = PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(r_, row, col)), &n);
    if (!raw) throw std::runtime_error("could not decode a bytea value");
    std::string out(reinterpret_cast<const char*>(raw), n);
    PQfreemem(raw);
    return out;
}

// --- sessions -------------------------------------------------------------------

Session::Session(Pool& pool, std::unique_ptr<Conn> conn, bool reused)
    : pool_(pool), conn_(std::move(conn)), reused_(reused) {}

Session::~Session() {
    if (!conn_) return;
    if (PQstatus(conn_->pg) == CONNECTION_OK && PQtransactionStatus(conn_->pg) != PQTRANS_IDLE)
        PQclear(PQexec(conn_->pg, "ROLLBACK"));
    if (PQstatus(conn_->pg) == CONNECTION_OK && PQtransactionStatus(conn_->pg) == PQTRANS_IDLE)
        pool_._give_back(std::move(conn_));
}

void Session::_fail(PGresult* r) {
    std::string state = r ? _trimmed(PQresultErrorField(r, PG_DIAG_SQLSTATE)) : "";
    Result owned(r);
    // Also lost: the server shutting down or not yet accepting (57P..) and
    // a connection fault it reports itself (08...), though libpq may still
    // count the connection as open when the error arrives.
    bool lost = PQstatus(conn_->pg) != CONNECTION_OK || state.starts_with("57P") || state.starts_with("08");
    std::string message = _trimmed(PQerrorMessage(conn_->pg));
    std::string what = fmt::format("the ledger database at {}: {}", pool_.name(), message);
    if (!lost) throw Error(what, state, false);
    conn_.reset();
    pool_._lost(message);
    throw Outage(what, state);
}

Result Session::exec(const std::string& sql, const std::vector<Param>& params) {
    auto [it, made] = conn_->prepared.try_emplace(sql);
    if (made) {
        std::string name = fmt::format("tt{}", conn_->prepared.size());
        PGresult* r = PQprepare(conn_->pg, name.c_str(), sql.c_str(), static_cast<int>(params.size()), nullptr);
        if (PQresultStatus(r) != PGRES_COMMAND_OK) {
            conn_->prepared.erase(it);
            _fail(r);
        }
        PQclear(r);
        it->second = std::move(name);
    }
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const Param& p : params) {
        values.push_back(p.value ? p.value->data() : nullptr);
        lengths.push_back(p.value ? static_cast<int>(p.value->size()) : 0);
        formats.push_back(p.binary ? 1 : 0);
    }
    PGresult* r = PQexecPrepared(conn_->pg, it->second.c_str(), static_cast<int>(params.size()), values.data(),
                                 lengths.data(), formats.data(), 0);
    auto status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) _fail(r);
    ++ran_;
    return Result(r);
}

void Session::command(const std::string& sql) {
    PGresult* r = PQexec(conn_->pg, sql.c_str());
    auto status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) _fail(r);
    PQclear(r);
    ++ran_;
}

// --- the pool -------------------------------------------------------------------

namespace {

// By default a commit returns once the server has it, without waiting for
// its disk: as with ledger.db's synchronous=NORMAL, a row survives the proxy
// being killed and only a crash of the database machine can take the last
// moments. The answer waits for its row, so this is the latency of every
// call. `full` waits for the server's disk. A URL that says otherwise
// (options=-csynchronous_commit%3Don) wins.
const char* _session_options(Durability durability) {
    return durability == Durability::full ? "-c synchronous_commit=on" : "-c synchronous_commit=off";
}

}  // namespace

Pool::Pool(std::string url, Durability durability)
    : url_(std::move(url)), name_(redacted(url_)), durability_(durability) {}

Pool::~Pool() = default;

std::unique_ptr<Conn> Pool::_connect() {
    // Keywords before dbname are defaults the URL's own settings override.
    const char* keys[] = {"connect_timeout", "fallback_application_name", "options", "dbname", nullptr};
    const char* values[] = {CONNECT_TIMEOUT_S, "tokentally", _session_options(durability_), url_.c_str(), nullptr};
    auto conn = std::make_unique<Conn>(PQconnectdbParams(keys, values, 1));
    if (PQstatus(conn->pg) != CONNECTION_OK) _unreachable(_trimmed(PQerrorMessage(conn->pg)));
    // The server's notices ("relation already exists, skipping") are not
    // for the user's terminal.
    PQsetNoticeProcessor(
        conn->pg, [](void*, const char*) {}, nullptr);
    _reachable();
    return conn;
}

std::pair<std::unique_ptr<Conn>, bool> Pool::_take() {
    {
        std::lock_guard lock(mu_);
        if (!idle_.empty()) {
            auto conn = std::move(idle_.back());
            idle_.pop_back();
            return {std::move(conn), true};
        }
        if (down_ && std::chrono::steady_clock::now() < next_attempt_)
            throw Outage(fmt::format("the ledger database at {} is unreachable", name_), "");
    }
    return {_connect(), false};
}

void Pool::_give_back(std::unique_ptr<Conn> conn) {
    std::lock_guard lock(mu_);
    idle_.push_back(std::move(conn));
}

// A broken connection means the server went away or restarted: the idle
// ones are as dead, and the next operation opens a new one.
void Pool::_lost(const std::string& why) {
    std::vector<std::unique_ptr<Conn>> dead;
    std::lock_guard lock(mu_);
    dead.swap(idle_);
    next_attempt_ = std::chrono::steady_clock::now();
    _down("went away", why);
}

// The one line of an outage, with what its first failure said (under mu_).
void Pool::_down(const char* what, const std::string& why) {
    if (down_) return;
    down_ = true;
    logging::get(LOGGER)->warn("The ledger database at {} {}; calls are not recorded until it is back: {}", name_, what,
                               why);
}

void Pool::_unreachable(const std::string& why) {
    {
        std::lock_guard lock(mu_);
        next_attempt_ = std::chrono::steady_clock::now() + RETRY_INTERVAL;
        _down("is unreachable", why);
    }
    throw Outage(fmt::format("could not connect to the ledger database at {}: {}", name_, why), "");
}

void Pool::_reachable() {
    std::lock_guard lock(mu_);
    if (!down_) return;
    down_ = false;
    logging::get(LOGGER)->info("The ledger database at {} is reachable again", name_);
}

}  // namespace tokentally::store::postgres
