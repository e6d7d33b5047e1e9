// Read commands over the ledger and the dashboard.
#include "cli/commands.hpp"
#include "cli/output.hpp"

#include "tokentally/accounting/usage.hpp"
#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/guards/limits.hpp"
#include "tokentally/guards/router.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/store/copy.hpp"
#include "tokentally/views/tui.hpp"

#include <fmt/format.h>

#include <cmath>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>

namespace tokentally::cli {

namespace {

namespace bj = boost::json;
using Row = std::vector<std::string>;

// Options shared by the read commands; each command fills the ones it has.
struct ReadOptions {
    double hours = 24.0;
    std::int64_t days = 30;
    std::int64_t n = 20;
    std::string tag;
    std::string session_id;
    bool json = false;
};

std::optional<std::string> _tag(const ReadOptions& o) {
    return o.tag.empty() ? std::nullopt : std::optional<std::string>(o.tag);
}

const bj::value& _get(const bj::value& rec, std::string_view key) {
    static const bj::value null_value;
    const bj::value* v = json::member(rec, key);
    return v ? *v : null_value;
}

std::string _text(const bj::value& rec, std::string_view key) {
    const auto& v = _get(rec, key);
    return v.is_null() ? "" : json::display(v);
}

// A record's count, 0 when NULL, with thousands separators.
std::string _count(const bj::value& rec, std::string_view key) {
    const auto& v = _get(rec, key);
    return tui::fmt_int(v.is_null() ? bj::value(0) : v);
}

std::string _seconds(const bj::value& rec, std::string_view key) {
    const auto& v = _get(rec, key);
    return v.is_null() ? "—" : fmt::format("{:.2f}s", json::as_number(v, key));
}

// Local date and time: the read commands span days, unlike the dashboard.
std::string _datetime(const bj::value& rec, std::string_view key) {
    const auto& v = _get(rec, key);
    if (v.is_null()) return "—";
    auto t = static_cast<std::time_t>(std::floor(json::as_number(v, key)));
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

template <class MakeRow>
std::vector<Row> _rows(const bj::array& records, MakeRow make_row) {
    std::vector<Row> rows;
    for (const auto& rec : records) rows.push_back(make_row(rec));
    return rows;
}

Row _summary_row(const bj::value& r) {
    return {_text(r, "model_id"),
            _text(r, "tag"),
            _count(r, "calls"),
            tui::fmt_int(_get(r, "total_prompt")),
            tui::fmt_int(_get(r, "total_completion")),
            tui::fmt_cost(_get(r, "total_cost")),
            _seconds(r, "avg_latency"),
            _count(r, "errors")};
}

// The model used, and the one asked for when the router swapped it.
std::string _model_cell(const bj::value& r) {
    const bj::value& requested = _get(r, "requested_model");
    return _text(r, "model_id") + (json::truthy(requested) ? " (from " + json::display(requested) + ")" : "");
}

// With cache pricing on: the cached tokens read and written beside the
// other token counts.
Row _summary_cache_row(const bj::value& r) {
    Row row = _summary_row(r);
    row.insert(row.begin() + 5,
               {tui::fmt_int(_get(r, "total_cache_read")), tui::fmt_int(_get(r, "total_cache_write"))});
    return row;
}

Row _call_row(const bj::value& r) {
    return {_text(r, "id"),
            _datetime(r, "ts"),
            _text(r, "session_id"),
            _model_cell(r),
            _text(r, "tag"),
            tui::fmt_int(_get(r, "prompt_tokens")),
            tui::fmt_int(_get(r, "completion_tokens")),
            tui::fmt_cost(_get(r, "cost_usd")),
            _seconds(r, "elapsed_s"),
            _text(r, "status"),
            json::truthy(_get(r, "streamed")) ? "yes" : "no"};
}

Row _history_row(const bj::value& r) {
    return {_text(r, "day"), _count(r, "calls"), tui::fmt_cost(_get(r, "total_cost")),
            tui::fmt_int(_get(r, "total_prompt")), tui::fmt_int(_get(r, "total_completion"))};
}

Row _session_row(const bj::value& r) {
    return {_text(r, "session_id"),
            _text(r, "tag"),
            _count(r, "calls"),
            tui::fmt_int(_get(r, "total_prompt")),
            tui::fmt_int(_get(r, "total_completion")),
            tui::fmt_cost(_get(r, "total_cost")),
            _seconds(r, "avg_latency"),
            _datetime(r, "first_call"),
            _datetime(r, "last_call"),
            _count(r, "errors")};
}

// How a list of records prints as a table: headers, the columns to align
// right, and the cells of one record.
struct TableView {
    std::vector<std::string> columns;
    std::vector<std::size_t> numeric;
    Row (*make_row)(const bj::value&);
};

const TableView SUMMARY_VIEW = {
    {"Model", "Tag", "Calls", "In Tok", "Out Tok", "Cost $", "Avg Lat", "Errors"}, {2, 3, 4, 5, 6, 7}, _summary_row};
const TableView SUMMARY_CACHE_VIEW = {
    {"Model", "Tag", "Calls", "In Tok", "Out Tok", "Cache Rd", "Cache Wr", "Cost $", "Avg Lat", "Errors"},
    {2, 3, 4, 5, 6, 7, 8, 9},
    _summary_cache_row};
const TableView CALLS_VIEW = {
    {"ID", "Time", "Session", "Model", "Tag", "In", "Out", "Cost $", "Lat", "Status", "Stream"},
    {0, 5, 6, 7, 8, 9},
    _call_row};
const TableView HISTORY_VIEW = {{"Day", "Calls", "Cost $", "In Tok", "Out Tok"}, {1, 2, 3, 4}, _history_row};
const TableView SESSIONS_VIEW = {
    {"Session", "Tag", "Calls", "In Tok", "Out Tok", "Cost $", "Avg Lat", "First", "Last", "Errors"},
    {2, 3, 4, 5, 6, 9},
    _session_row};

void _print_records(const bj::array& records, bool as_json, const TableView& view) {
    if (as_json)
        print_json(records);
    else
        print_table(view.columns, _rows(records, view.make_row), view.numeric);
}

// A read command and the options it was given.
struct Command {
    CLI::App* cmd;
    std::shared_ptr<ReadOptions> o;
};

Command _command(CLI::App& app, const std::string& name, const std::string& help) {
    Command c{app.add_subcommand(name, help), std::make_shared<ReadOptions>()};
    c.cmd->add_flag("--json", c.o->json, "Print the records as one JSON value instead of a table");
    return c;
}

const Command& _hours(const Command& c) {
    c.cmd->add_option("--hours", c.o->hours, "Window in hours, counted back from now")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    return c;
}

const Command& _days(const Command& c) {
    c.cmd->add_option("--days", c.o->days, "Window in days (24-hour periods), counted back from now")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    return c;
}

const Command& _n(const Command& c) {
    c.cmd->add_option("-n", c.o->n, "Number of calls, newest first")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    return c;
}

const Command& _tag_option(const Command& c) {
    c.cmd->add_option("--tag", c.o->tag, "Only calls with this project tag");
    return c;
}

const Command& _session_id(const Command& c) {
    c.cmd->add_option("ID", c.o->session_id, "Session id (the X-Tokentally-Session value)")->required();
    return c;
}

// The router is on when [router] mode is "warn" or "swap". A configuration
// that cannot be read leaves the reports as they are without a router.
bool _router_on() {
    try {
        return router::mode() != "off";
    } catch (const std::exception&) {
        return false;
    }
}

// Call records, with the model each swapped call asked for while the router
// is on.
bj::array _routed(store::Store& store, bj::array calls) {
    if (_router_on()) ledger::add_requested_models(store, calls);
    return calls;
}

std::string _routing_line(const bj::array& summary) {
    std::int64_t calls = 0;
    double saving = 0.0;
    for (const auto& r : summary) {
        calls += _get(r, "routed_calls").as_int64();
        saving += _get(r, "routing_saving_usd").as_double();
    }
    return fmt::format("Router: {} swapped calls, estimated saving {} (their tokens at the requested models' prices)",
                       calls, tui::fmt_cost(saving));
}

using Query = std::function<bj::array(store::Store&, const ReadOptions&)>;

// Prints the records of `query` as `view`, or as JSON with --json.
void _lists(const Command& c, const TableView& view, Query query) {
    c.cmd->callback([o = c.o, &view, query] { _print_records(query(*open_store(), *o), o->json, view); });
}

// Each summary row gains the cached tokens of its model and tag.
void _add_cache_totals(store::Store& store, bj::array& rows, const ReadOptions& o) {
    bj::array totals = ledger::cache_summary(store, _tag(o), o.hours);
    for (auto& row : rows) {
        bj::object& rec = row.as_object();
        rec["total_cache_read"] = nullptr;
        rec["total_cache_write"] = nullptr;
        for (const auto& t : totals) {
            if (t.at("model_id") != rec.at("model_id") || t.at("tag") != rec.at("tag")) continue;
            rec["total_cache_read"] = t.at("total_cache_read");
            rec["total_cache_write"] = t.at("total_cache_write");
        }
    }
}

// Under the table: how many calls of the window carry no cost, so that a
// reader knows the total leaves them out.
void _print_partial_note(std::int64_t without_cost) {
    if (without_cost == 0) return;
    std::cout << '\n'
              << without_cost << (without_cost == 1 ? " call" : " calls")
              << " of this window without a cost (streamed without usage, or no price): the cost totals leave "
              << (without_cost == 1 ? "it" : "them") << " out.\n";
}

// With rate limits configured: how many calls they refused in the window,
// which leave no row (the serving proxies count them by the minute).
std::optional<std::string> _rate_limited_line(store::Store& store, double hours) {
    std::shared_ptr<const bj::object> cfg;
    try {
        cfg = config::load_shared();
    } catch (const std::exception&) {
        return std::nullopt;  // without a configuration there is no limit
    }
    try {
        if (!limits::configured(*cfg)) return std::nullopt;
    } catch (const std::exception& e) {
        return std::string("Rate limits not read: ") + e.what();
    }
    std::int64_t total = 0;
    std::string by_scope;
    for (const auto& r : store.calls().rate_limited_since(store::now() - hours * 3600.0)) {
        total += r.calls;
        by_scope += fmt::format("{}{} {} {}", by_scope.empty() ? "" : ", ", r.scope, r.limit, r.calls);
    }
    if (total == 0) return "Rate limits: no call refused in this window";
    return fmt::format("Rate limits: {} {} refused in this window ({})", total, total == 1 ? "call" : "calls",
                       by_scope);
}

// The summary, with the cached tokens when cache pricing is on, what the
// router's swaps saved while it is on, how many calls have no cost when an
// accounting switch is on, and how many rate limits refused while any is set.
void _summary(const Command& c) {
    c.cmd->callback([o = c.o] {
        auto store = open_store();
        usage::Accounting accounting = usage::configured();
        bj::array rows = ledger::summary(*store, _tag(*o), o->hours);
        if (accounting.cache_pricing) _add_cache_totals(*store, rows, *o);
        bool routing = _router_on();
        if (routing) ledger::add_routing_savings(*store, rows, _tag(*o), o->hours);
        _print_records(rows, o->json, accounting.cache_pricing ? SUMMARY_CACHE_VIEW : SUMMARY_VIEW);
        if (routing && !o->json) std::cout << _routing_line(rows) << '\n';
        if (!o->json && accounting.any()) _print_partial_note(ledger::calls_without_cost(*store, o->hours, _tag(*o)));
        if (o->json) return;
        if (auto line = _rate_limited_line(*store, o->hours)) std::cout << *line << '\n';
    });
}

// Client keys are on when the proxy is told where their file is.
bool _keys_on() {
    try {
        return json::truthy(json::table(*config::load_shared(), "proxy").if_contains("client_keys_file"));
    } catch (const std::exception&) {
        return false;
    }
}

// Call rows, with their cached tokens when cache pricing is on, the
// service tier of each call not served the standard way, and the client
// key of each while client keys are on.
bj::array _with_side_figures(store::Store& store, bj::array rows) {
    if (usage::configured().cache_pricing) ledger::add_cache_tokens(store, rows);
    ledger::add_service_tiers(store, rows);
    if (_keys_on()) ledger::add_keys(store, rows);
    return rows;
}

void _spend(const Command& c) {
    c.cmd->callback([o = c.o] {
        double spend = ledger::rolling_spend(*open_store(), o->days, _tag(*o));
        if (o->json)
            print_json(spend);
        else
            std::cout << tui::fmt_cost(spend) << '\n';
    });
}

}  // namespace

// --- ledger migrate -------------------------------------------------------------

struct MigrateOptions {
    std::string from;
    std::string to;
};

// Copies the local ledger into the shared one, one line per batch on stderr
// while it runs and the counts on stdout at the end.
void _migrate(const MigrateOptions& o) {
    std::string from_location = o.from.empty() ? store::local_location() : o.from;
    auto from = store::open(from_location);
    if (!from->exists()) throw std::runtime_error("no ledger at " + from_location + " to copy");
    auto to = store::open(o.to);
    if (from->location() == to->location()) throw std::runtime_error("the ledger cannot be copied into itself");
    auto counts = store::copy_calls(*from, *to, [](const store::CopyCounts& c) {
        std::cerr << fmt::format("... {} calls read, {} copied\n", c.read, c.copied);
    });
    std::cout << fmt::format("Copied {} of {} calls from {} to {} ({} already there).\n", counts.copied, counts.read,
                             from->location(), to->location(), counts.present);
}

void _ledger_group(CLI::App& app) {
    auto* group = app.add_subcommand("ledger", "Work on the ledger itself (see: tokentally ledger migrate --help)");
    group->require_subcommand(1);
    auto o = std::make_shared<MigrateOptions>();
    auto* migrate = group->add_subcommand(
        "migrate",
        "Copy the calls of a local ledger.db into a shared ledger. Calls the shared ledger already holds are "
        "skipped, so running it again copies nothing twice.");
    migrate
        ->add_option("--to", o->to,
                     "Where to copy to: postgresql://user@host:port/dbname (the password from "
                     "PGPASSWORD or ~/.pgpass)")
        ->required();
    migrate->add_option("--from", o->from, "The ledger to copy (default: ledger.db in the data directory)");
    migrate->callback([o] { _migrate(*o); });
}

void add_ledger_commands(CLI::App& app) {
    _ledger_group(app);
    _summary(_tag_option(_hours(_command(app, "summary", "Spend and usage by model and tag, highest cost first"))));
    _lists(_n(_command(app, "recent", "The latest calls, newest first")), CALLS_VIEW,
           [](store::Store& store, const ReadOptions& o) {
               return _routed(store, _with_side_figures(store, ledger::recent(store, o.n)));
           });
    _spend(_tag_option(_days(_command(app, "spend", "US dollars spent over the last days (priced calls only)"))));
    _lists(_days(_command(app, "history", "Priced calls and spend per local calendar day, newest first")), HISTORY_VIEW,
           [](store::Store& store, const ReadOptions& o) { return ledger::rolling_summary(store, o.days); });
    _lists(_hours(_command(app, "sessions", "Agent sessions by session and tag, highest cost first")), SESSIONS_VIEW,
           [](store::Store& store, const ReadOptions& o) { return ledger::agent_summary(store, o.hours); });
    _lists(_n(_session_id(_command(app, "session", "The latest calls of one agent session, newest first"))), CALLS_VIEW,
           [](store::Store& store, const ReadOptions& o) {
               return _routed(store, _with_side_figures(store, ledger::agent_recent(store, o.session_id, o.n)));
           });
    app.add_subcommand("tui", "Full-screen dashboard over the ledger (q quits, r refreshes)")->callback([] {
        tui::launch(open_store());
    });
}

}  // namespace tokentally::cli
