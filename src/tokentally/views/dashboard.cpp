#include "tokentally/views/dashboard.hpp"

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/accounting/usage.hpp"
#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/off_loop.hpp"
#include "tokentally/base/paths.hpp"
#include "tokentally/guards/periods.hpp"
#include "tokentally/http/trust.hpp"
#include "tokentally/insight/advisor.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/store/rollups.hpp"
#include "tokentally/views/metrics.hpp"

#include <boost/asio/async_result.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/url/url.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <stdexcept>

namespace tokentally::dashboard {

namespace {

namespace asio = boost::asio;
namespace bj = boost::json;

constexpr double HOUR_SECONDS = 3600.0;
constexpr double DAY_SECONDS = 86400.0;
constexpr std::int64_t DEFAULT_ROWS = 50;
constexpr std::int64_t MAX_ROWS = 1000;
// How many sessions the range holds beyond the rows the answer carries.
constexpr const char* TOTAL_HEADER = "X-Total-Count";

// The ranges the page offers, in hours.
const std::map<std::string, double, std::less<>> RANGES = {{"24h", 24.0}, {"7d", 168.0}, {"30d", 720.0}};

// --- who may look -------------------------------------------------------------

// Read once when the routes are made: the server's life has one rule.
std::optional<std::string> _admin_token() {
    const char* token = std::getenv(ADMIN_TOKEN_ENV);
    if (token == nullptr || *token == '\0') return std::nullopt;
    return std::string(token);
}

// Why `req` may not see spend data, as the answer to give; none when it may.
// The page's own files carry no data: without a token rule they are served
// like the data, with one they are served to anyone (the page then asks for
// the token before it reads anything).
std::optional<http::Response> _refusal(const http::Request& req, const std::optional<std::string>& token, bool data) {
    if (token) {
        if (!data) return std::nullopt;
        const std::string* auth = req.header("Authorization");
        constexpr std::string_view BEARER = "Bearer ";
        if (auth != nullptr && auth->starts_with(BEARER) &&
            http::same_secret(std::string_view(*auth).substr(BEARER.size()), *token))
            return std::nullopt;
        return http::json_response(401,
                                   bj::object{{"detail",
                                               "Missing or wrong admin token: send "
                                               "'Authorization: Bearer <TOKENTALLY_ADMIN_TOKEN>'"}},
                                   {{"WWW-Authenticate", "Bearer"}});
    }
    if (http::loopback_address(req.peer)) return std::nullopt;
    return http::json_response(403, bj::object{{"detail", NO_TOKEN_DETAIL}});
}

// A data route's answer, run to its end where it is called: its coroutine
// never waits on anything but the store.
http::Response _complete(const http::Handler& inner, http::Request& req) {
    asio::io_context ioc;
    auto answer = asio::co_spawn(ioc, inner(req), asio::use_future);
    ioc.run();
    return answer.get();
}

// The data routes' reads run on the readers' threads: on a loop thread a
// 30-day read of a large ledger would hold up every proxied call that
// thread serves meanwhile.
http::Handler _guarded(http::Handler inner, std::shared_ptr<const std::optional<std::string>> token, bool data,
                       std::shared_ptr<asio::thread_pool> readers) {
    return [inner = std::move(inner), token, data, readers](http::Request& req) -> asio::awaitable<http::Response> {
        if (auto refused = _refusal(req, *token, data)) co_return std::move(*refused);
        if (!data) co_return co_await inner(req);
        co_return co_await run_on(*readers, [&inner, &req] { return _complete(inner, req); });
    };
}

// --- parameters ---------------------------------------------------------------

// A parameter the client got wrong: answered 400 naming it.
struct BadParam : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Query {
    std::string range = "24h";
    double hours = 24.0;
    std::optional<std::string> tag;
    std::optional<std::string> model;
    std::optional<std::string> id;
    std::int64_t n = DEFAULT_ROWS;
};

std::int64_t _rows(const std::string& text) {
    std::size_t used = 0;
    long long n = 0;
    try {
        n = std::stoll(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || n < 1 || n > MAX_ROWS)
        throw BadParam("n: must be a whole number from 1 to " + std::to_string(MAX_ROWS) + ", not '" + text + "'");
    return n;
}

void _set(Query& q, const std::string& key, const std::string& value) {
    if (key == "range") {
        auto it = RANGES.find(value);
        if (it == RANGES.end()) throw BadParam("range: must be 24h, 7d or 30d, not '" + value + "'");
        q.range = value;
        q.hours = it->second;
    } else if (key == "tag" || key == "model" || key == "id") {
        // An empty filter is no filter, as the page sends "all".
        std::optional<std::string> v = value.empty() ? std::nullopt : std::optional(value);
        (key == "tag" ? q.tag : key == "model" ? q.model : q.id) = v;
    } else if (key == "n") {
        q.n = _rows(value);
    } else {
        throw BadParam(key + ": unknown parameter (known: range, tag, model, n, id)");
    }
}

Query _query(const http::Request& req) {
    Query q;
    if (req.query.empty()) return q;
    boost::urls::url u;
    try {
        u.set_encoded_query(req.query);
    } catch (const std::exception&) {
        throw BadParam("query: not a valid query string");
    }
    for (auto p : u.params()) _set(q, p.key, p.value);
    return q;
}

template <class Pred>
void _drop(bj::array& rows, Pred pred) {
    rows.erase(std::remove_if(rows.begin(), rows.end(), pred), rows.end());
}

double _since(const Query& q) { return store::now() - q.hours * HOUR_SECONDS; }

bool _model_kept(const Query& q, const bj::value& model) {
    return !q.model || (model.is_string() && model.get_string() == *q.model);
}

double _number(const bj::value* v) { return v != nullptr && v->is_number() ? v->to_number<double>() : 0.0; }

// --- what the page shows ------------------------------------------------------

// What the cached answers of a model would have cost at its price.
double _saved(const std::optional<std::string>& model, std::int64_t prompt, std::int64_t completion) {
    auto price = model ? catalog::find_price(*model) : std::nullopt;
    if (!price) return 0.0;
    // The tokens of many answers: no one call's long-context tier applies.
    prices::Price standard;
    standard.input = price->input;
    standard.output = price->output;
    return usage::cost(usage::Billed{.input = static_cast<double>(prompt), .output = static_cast<double>(completion)},
                       standard);
}

// The nearest-rank percentile `p` of a latency histogram of `n` calls: the
// mean of the bin that holds it, so within one bin's width of the exact one
// (and exact when the bin's calls all took the same time).
double _percentile(const std::vector<store::LatencyBin>& bins, std::int64_t n, double p) {
    auto rank =
        std::clamp<std::int64_t>(static_cast<std::int64_t>(std::ceil(p / 100.0 * static_cast<double>(n))), 1, n);
    for (const auto& b : bins) {
        if (rank <= b.count) return b.sum / static_cast<double>(b.count);
        rank -= b.count;
    }
    return bins.empty() ? 0.0 : bins.back().sum / static_cast<double>(bins.back().count);
}

// The range's rollups (per hour or summed, as `how` says), of the tag and
// model asked for.
std::vector<store::Rollup> _rollups(store::Store& store, const Query& q, store::RollupRead how) {
    std::vector<store::Rollup> rows = store.calls().rollups(_since(q), how);
    std::erase_if(
        rows, [&](const store::Rollup& r) { return (q.tag && r.tag != q.tag) || (q.model && r.model_id != q.model); });
    return rows;
}

// Latency per model, the share of calls per status class, and the caches.
bj::object _call_figures(const std::vector<store::Rollup>& rows) {
    bj::array latency;
    bj::object status;
    std::int64_t calls = 0, hits = 0;
    double saved = 0.0;
    store::Rollup all;
    for (const auto& [key, m] : store::over_hours(rows, true)) {
        calls += m.calls;
        hits += m.cache_hits;
        saved += _saved(m.model_id, m.cache_hit_prompt, m.cache_hit_completion);
        store::merge(all, m);
        std::int64_t timed = 0;
        for (const auto& b : m.latency) timed += b.count;
        if (timed == 0) continue;
        latency.push_back(bj::object{{"model_id", m.model_id.value_or("")},
                                     {"p50", _percentile(m.latency, timed, 50)},
                                     {"p95", _percentile(m.latency, timed, 95)}});
    }
    for (const auto& [cls, n] : all.status_classes) status[cls] = n;
    double share = calls == 0 ? 0.0 : static_cast<double>(hits) / static_cast<double>(calls);
    return {{"latency", std::move(latency)},
            {"status_classes", std::move(status)},
            {"cache", bj::object{{"hits", hits}, {"hit_rate", share}, {"saved_usd", saved}}}};
}

// The rows of the ledger's `summary` (per model and tag, costliest first,
// groups without cost last), summed from the rollups.
bj::array _summary_rows(const std::vector<store::Rollup>& rollups) {
    std::vector<store::Rollup> groups = store::rollup_rows(store::over_hours(rollups, false));
    std::stable_sort(groups.begin(), groups.end(), [](const store::Rollup& a, const store::Rollup& b) {
        if (!a.total_cost || !b.total_cost) return a.total_cost && !b.total_cost;
        return *a.total_cost > *b.total_cost;
    });
    bj::array out;
    for (const auto& g : groups)
        out.push_back(
            bj::object{{"model_id", json::or_null(g.model_id)},
                       {"tag", json::or_null(g.tag)},
                       {"calls", g.calls},
                       {"total_prompt", json::or_null(g.total_prompt)},
                       {"total_completion", json::or_null(g.total_completion)},
                       {"total_cost", json::or_null(g.total_cost)},
                       {"avg_latency", g.latency_calls ? bj::value(g.latency_sum / static_cast<double>(g.latency_calls))
                                                       : bj::value(nullptr)},
                       {"errors", g.errors}});
    return out;
}

// The monthly window's spend (the last 30 days, or since the 1st with
// calendar periods), from the spend kept in memory (the router always has one).
double _month_spent(spend_state::State& spend, periods::Period period) {
    const store::SpendWindow month[] = {{periods::since(period, periods::Span::month, store::now()), std::nullopt}};
    return spend_state::spend_since(spend, month).front();
}

// The configured budgets with what is left of each; a budget that cannot be
// read leaves the list empty and says why.
bj::object _budgets(store::Store& store, spend_state::State& spend) {
    bj::array out;
    try {
        for (const auto& b : metrics::budgets(store, &spend))
            out.push_back(bj::object{{"scope", b.scope},
                                     {"limit", b.limit},
                                     {"spent", b.spent},
                                     {"left", std::max(0.0, b.limit - b.spent)}});
    } catch (const std::exception& e) {
        return {{"budgets", bj::array{}}, {"budget_error", e.what()}};
    }
    // metrics::budgets() has read the period: it is known to be readable.
    periods::Period period = periods::configured();
    bj::object result{{"budgets", std::move(out)}, {"month_spent", _month_spent(spend, period)}};
    if (period == periods::Period::calendar) result["period"] = "calendar";
    return result;
}

// With rate limits configured: the calls of the range they refused, all
// tags together (refusals are counted per minute, by every proxy on the
// ledger; this process's latest are written first). Without limits the
// summary says nothing of them.
void _add_rate_limited(bj::object& s, store::Store& store, limits::State* limits, const Query& q) {
    std::shared_ptr<const bj::object> cfg;
    try {
        cfg = config::load_shared();
    } catch (const std::exception&) {
        return;  // the budgets say why
    }
    try {
        if (!limits::configured(*cfg)) return;
        if (limits != nullptr) limits::flush(*limits);
        std::int64_t calls = 0;
        for (const auto& r : store.calls().rate_limited_since(_since(q))) calls += r.calls;
        s["rate_limited"] = calls;
    } catch (const std::exception& e) {
        s["rate_limited_error"] = e.what();
    }
}

void _add_to(bj::object& group, const bj::object& row) {
    const bj::value* calls = group.if_contains("calls");
    group["calls"] = (calls ? calls->to_number<std::int64_t>() : 0) + row.at("calls").to_number<std::int64_t>();
    group["cost"] = _number(group.if_contains("cost")) + _number(row.if_contains("total_cost"));
}

// Cost per model and per tag of the summary rows; each tag beside its budget.
bj::object _groups(const bj::array& rows, const bj::array& budgets) {
    std::map<std::string, bj::object> models, tags;
    for (const auto& v : rows) {
        const auto& row = v.as_object();
        _add_to(models[json::display(row.at("model_id"))], row);
        _add_to(tags[json::display(row.at("tag"))], row);
    }
    bj::array by_model, by_tag;
    for (auto& [name, g] : models) {
        g["model_id"] = name;
        by_model.push_back(std::move(g));
    }
    for (auto& [name, g] : tags) {
        g["tag"] = name;
        g["daily_budget"] = nullptr;
        for (const auto& b : budgets)
            if (b.at("scope").as_string() == "tag:" + name) g["daily_budget"] = b.at("limit");
        by_tag.push_back(std::move(g));
    }
    return {{"by_model", std::move(by_model)}, {"by_tag", std::move(by_tag)}};
}

bj::object _summary(store::Store& store, spend_state::State& spend, limits::State* limits, const Query& q) {
    std::vector<store::Rollup> rollups = _rollups(store, q, {.lists = true, .per_hour = false});
    bj::array rows = _summary_rows(rollups);
    double cost = 0, in = 0, out = 0;
    std::int64_t calls = 0;
    for (const auto& r : rows) {
        cost += _number(r.as_object().if_contains("total_cost"));
        calls += r.at("calls").to_number<std::int64_t>();
        in += _number(r.as_object().if_contains("total_prompt"));
        out += _number(r.as_object().if_contains("total_completion"));
    }
    bj::object s{{"range", q.range},
                 {"tag", json::or_null(q.tag)},
                 {"model", json::or_null(q.model)},
                 {"cost", cost},
                 {"calls", calls},
                 {"tokens_in", in},
                 {"tokens_out", out},
                 {"rows", rows}};
    for (auto& [k, v] : _budgets(store, spend)) s[k] = v;
    for (auto& [k, v] : _groups(rows, s.at("budgets").as_array())) s[k] = v;
    for (auto& [k, v] : _call_figures(rollups)) s[k] = v;
    _add_rate_limited(s, store, limits, q);
    return s;
}

// Spend per bucket and model: hourly for a day, daily beyond.
bj::object _series(store::Store& store, const Query& q) {
    double bucket = q.hours <= 24.0 ? HOUR_SECONDS : DAY_SECONDS;
    double first = std::floor(_since(q) / bucket) * bucket;
    auto count = static_cast<std::size_t>(std::floor((store::now() - first) / bucket)) + 1;
    std::map<std::string, std::vector<double>> by_model;
    for (const auto& r : _rollups(store, q, {.lists = false, .per_hour = true})) {
        auto& values = by_model[r.model_id.value_or("")];
        values.resize(count, 0.0);
        auto at = static_cast<std::size_t>(std::floor((r.hour - first) / bucket));
        if (at < count) values[at] += r.total_cost.value_or(0.0);
    }
    bj::array starts, datasets;
    for (std::size_t i = 0; i < count; ++i) starts.push_back(first + static_cast<double>(i) * bucket);
    for (const auto& [model, values] : by_model)
        datasets.push_back(bj::object{{"model_id", model}, {"cost", bj::value_from(values)}});
    // Only the limit is drawn: the spend of the budgets' windows is not read.
    bj::value daily = nullptr;
    try {
        for (const auto& b : metrics::budget_limits())
            if (b.scope == "daily") daily = b.limit;
    } catch (const std::exception&) {
        daily = nullptr;  // the summary says why
    }
    return {{"bucket_s", bucket},
            {"starts", std::move(starts)},
            {"datasets", std::move(datasets)},
            {"daily_budget", daily}};
}

// The `n` costliest sessions of the range (as the agents table orders them),
// with the number of all of them in a header: a proxy whose clients send no
// session id gives every call a session of its own, and the page shows no
// more than a screenful of those.
http::Response _sessions(store::Store& store, const Query& q) {
    store::SessionPage page = store.calls().top_sessions(_since(q), q.tag, q.n);
    return http::json_response(200, ledger::agent_records(page.rows), {{TOTAL_HEADER, std::to_string(page.total)}});
}

bj::array _session(store::Store& store, const Query& q) {
    if (!q.id) throw BadParam("id: the session id is required");
    bj::array rows = ledger::agent_recent(store, *q.id, q.n);
    ledger::add_requested_models(store, rows);
    return rows;
}

// The latest calls with the marks the page shows beside each.
bj::array _recent(store::Store& store, const Query& q) {
    bj::array rows = ledger::recent(store, q.n);
    _drop(rows, [&](const bj::value& r) {
        return !_model_kept(q, r.at("model_id")) || (q.tag && r.at("tag") != bj::value(*q.tag));
    });
    ledger::add_requested_models(store, rows);
    for (auto& v : rows) {
        auto& r = v.as_object();
        double status = _number(r.if_contains("status"));
        r["cached"] = status == 200 && r.at("cost_usd") == bj::value(0.0) && r.at("elapsed_s") == bj::value(0.0);
        r["routed"] = !r.at("requested_model").is_null();
        r["error"] = status >= 400;
    }
    return rows;
}

// Unseen alerts first, each part newest first; reading them here does not
// mark them seen (the `alerts --unseen` command does).
bj::array _alerts(store::Store& store, const Query& q) {
    std::vector<store::AlertRow> rows = store.alerts().latest(q.n);
    std::stable_partition(rows.begin(), rows.end(), [](const store::AlertRow& a) { return a.seen == 0; });
    bj::array out;
    for (const auto& a : rows)
        out.push_back(bj::object{{"id", a.id},
                                 {"ts", a.ts},
                                 {"level", a.level},
                                 {"scope", a.scope},
                                 {"spent", a.spent},
                                 {"budget", a.budget},
                                 {"message", a.message},
                                 {"seen", a.seen}});
    return out;
}

// Over every tag and model, as the advisor sees the range: its usage rows
// summed from the rollups instead of a scan of the range's calls.
bj::array _advice(store::Store& store, const Query& q) {
    if (!store.exists()) return {};
    return advisor::suggestions_for(
        store::usage_of(store.calls().rollups(_since(q), {.lists = false, .per_hour = false})), q.hours);
}

// --- the CSV ------------------------------------------------------------------

const std::vector<std::string> CSV_COLUMNS = {
    "id",       "ts",        "model_id", "tag",     "session_id", "prompt_tokens", "completion_tokens",
    "cost_usd", "elapsed_s", "status",   "streamed"};

// A text a spreadsheet would run as a formula (=, +, -, @, or a tab or a
// carriage return before one) is kept as text by a leading quote. Only
// texts: a number of the ledger stays a number.
std::string _inert(std::string text) {
    if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos)
        text.insert(text.begin(), '\'');
    return text;
}

// A field as RFC 4180 wants it: quoted when it holds a comma, a quote or a
// line break, quotes doubled.
std::string _csv_field(const bj::value& v) {
    std::string text = v.is_null() ? "" : v.is_string() ? _inert(std::string(v.get_string())) : json::write(v);
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string _csv(store::Store& store, const Query& q) {
    std::string out;
    for (std::size_t i = 0; i < CSV_COLUMNS.size(); ++i) out += (i ? "," : "") + CSV_COLUMNS[i];
    out += "\r\n";
    for (const auto& v : ledger::calls_since(store, q.hours, q.tag)) {
        const auto& r = v.as_object();
        if (!_model_kept(q, r.at("model_id"))) continue;
        for (std::size_t i = 0; i < CSV_COLUMNS.size(); ++i) out += (i ? "," : "") + _csv_field(r.at(CSV_COLUMNS[i]));
        out += "\r\n";
    }
    return out;
}

// --- routes -------------------------------------------------------------------

using Answer = std::function<http::Response(store::Store&, const Query&)>;

http::Handler _api(std::shared_ptr<store::Store> store, Answer answer) {
    return [store, answer](http::Request& req) -> asio::awaitable<http::Response> {
        try {
            co_return answer(*store, _query(req));
        } catch (const BadParam& e) {
            co_return http::json_response(400, bj::object{{"detail", e.what()}});
        }
    };
}

asio::awaitable<http::Response> _csv_route(store::Store& store, http::Request& req) {
    try {
        Query q = _query(req);
        http::Response resp;
        resp.headers = {{"content-type", "text/csv; charset=utf-8"},
                        {"Content-Disposition", "attachment; filename=\"tokentally-calls-" + q.range + ".csv\""}};
        resp.body = _csv(store, q);
        co_return resp;
    } catch (const BadParam& e) {
        co_return http::json_response(400, bj::object{{"detail", e.what()}});
    }
}

std::string _web_dir() {
    const char* dir = std::getenv(WEB_DIR_ENV);
    return dir != nullptr && *dir != '\0' ? dir : paths::package_dir() + "/web";
}

std::string _chartjs_path() {
    const char* file = std::getenv(CHARTJS_ENV);
    return file != nullptr && *file != '\0' ? file : CHARTJS_PATH;
}

// One of the page's files, read when asked (they are small, and an edited
// page shows on reload); 404 naming the file when it is missing.
http::Handler _file(std::function<std::string()> path, std::string content_type) {
    return [path = std::move(path), content_type](http::Request&) -> asio::awaitable<http::Response> {
        std::string where = path();
        std::string body;
        try {
            body = paths::read_file(where);
        } catch (const std::exception&) {
            co_return http::json_response(404, bj::object{{"detail", "Not Found: " + where}});
        }
        http::Response resp;
        resp.headers = {{"content-type", content_type}, {"Cache-Control", "no-cache"}};
        resp.body = std::move(body);
        co_return resp;
    };
}

void _add_page(http::Router& r) {
    auto in_web = [](std::string name) { return [name] { return _web_dir() + "/" + name; }; };
    for (const char* page : {"/dashboard", "/dashboard/"})
        http::add_route(r, {"GET"}, page, _file(in_web("index.html"), "text/html; charset=utf-8"));
    http::add_route(r, {"GET"}, "/dashboard/static/app.js", _file(in_web("app.js"), "text/javascript; charset=utf-8"));
    http::add_route(r, {"GET"}, "/dashboard/static/style.css", _file(in_web("style.css"), "text/css; charset=utf-8"));
    http::add_route(r, {"GET"}, "/dashboard/static/chart.js", _file(_chartjs_path, "text/javascript; charset=utf-8"));
}

void _add_api(http::Router& r, const std::shared_ptr<store::Store>& store,
              const std::shared_ptr<spend_state::State>& spend, const std::shared_ptr<limits::State>& limits) {
    auto route = [&](const char* name, Answer answer) {
        http::add_route(r, {"GET"}, std::string("/dashboard/api/") + name, _api(store, std::move(answer)));
    };
    auto api = [&](const char* name, auto body) {
        route(name, [body](store::Store& s, const Query& q) { return http::json_response(200, body(s, q)); });
    };
    api("summary", [spend, limits](store::Store& s, const Query& q) { return _summary(s, *spend, limits.get(), q); });
    api("series", _series);
    route("sessions", _sessions);
    api("session", _session);
    api("recent", _recent);
    api("alerts", _alerts);
    api("advice", _advice);
    http::add_route(r, {"GET"}, "/dashboard/calls.csv",
                    [store](http::Request& req) { return _csv_route(*store, req); });
}

}  // namespace

http::Router router(std::shared_ptr<store::Store> store, std::string version, std::shared_ptr<spend_state::State> spend,
                    std::shared_ptr<limits::State> limits, std::shared_ptr<asio::thread_pool> readers) {
    // Two threads, so that a long CSV download does not stall the page's
    // refreshes or a scrape.
    if (!readers) readers = std::make_shared<asio::thread_pool>(2);
    // Without the proxy's, a spend of its own: summing the month's window in
    // the ledger at every summary reads every call of it.
    if (!spend) spend = spend_state::make(store);
    auto token = std::make_shared<const std::optional<std::string>>(_admin_token());
    http::Router page, data;
    _add_page(page);
    _add_api(data, store, spend, limits);
    http::include_router(data, metrics::router(store, std::move(version), spend));
    http::Router out;
    for (auto& route : page.routes) route.handler = _guarded(std::move(route.handler), token, false, readers);
    for (auto& route : data.routes) route.handler = _guarded(std::move(route.handler), token, true, readers);
    http::include_router(out, page);
    http::include_router(out, data);
    return out;
}

}  // namespace tokentally::dashboard
