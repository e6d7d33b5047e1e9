// The full-screen dashboard over the call ledger. Everything a refresh shows
// is computed here as plain text first (RefreshData), apart from the FINAL
// CUT widgets that only display it, so the figures can be checked without a
// terminal and a failed refresh never leaves half-drawn widgets behind.
#pragma once

#include "tokentally/store/store.hpp"

#include <boost/json.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tokentally::tui {

namespace bj = boost::json;

// Seconds between two timed refreshes.
inline constexpr int REFRESH_INTERVAL = 3;

inline constexpr const char* TITLE = "tokentally";

// Column headers of the three tables, left to right.
inline const std::vector<std::string> AGENTS_COLUMNS = {"Session", "Tag",     "Calls",  "In Tok", "Out Tok",
                                                        "Cost $",  "Avg Lat", "Active", "Errors"};
inline const std::vector<std::string> MODEL_COLUMNS = {"Model",   "Tag",    "Calls",   "In Tok",
                                                       "Out Tok", "Cost $", "Avg Lat", "Errors"};
inline const std::vector<std::string> RECENT_COLUMNS = {"Time", "Session", "Model", "Tag", "In",
                                                        "Out",  "Cost $",  "Lat",   "St"};

// Section labels above the tables, top to bottom.
inline const std::array<std::string, 3> SECTION_LABELS = {"● AGENTS (24H)", "● COST BY MODEL (24H)", "● RECENT CALLS"};

// --- formatters: each takes a value that may be null --------------------------

// "$" and six decimals; "—" for null.
std::string fmt_cost(const bj::value& v);
// Truncated to an integer, digits grouped by ","; "—" for null.
std::string fmt_int(const bj::value& v);
// Local wall-clock "%H:%M:%S"; "—" for null or 0.
std::string fmt_ts(const bj::value& ts);
// "1h 2m", "2m 5s" or "59s"; "—" for null or 0.
std::string fmt_dur(const bj::value& seconds);

// The first `n` Unicode characters of UTF-8 text.
std::string cut(const std::string& text, std::size_t n);

// --- what one refresh shows ---------------------------------------------------

// One KPI cell: a bold caption drawn in `colour` ("green", "cyan" or "red")
// above its bold value.
struct KpiCell {
    std::string caption;
    std::string value;
    std::string colour;
};
using KpiCells = std::array<KpiCell, 5>;

// The five cells left to right: cost, calls, tokens in, tokens out, the
// monthly window's spend (the last 30 days, or this month with calendar
// periods: `month_caption` says which). A budget that is null or 0 counts
// as none.
inline constexpr const char* ROLLING_MONTH_CAPTION = "SPEND 30D";
inline constexpr const char* CALENDAR_MONTH_CAPTION = "SPEND MONTH";
KpiCells kpi_cells(const bj::value& total_cost, std::int64_t calls, const bj::value& total_in,
                   const bj::value& total_out, const bj::value& spend_30d, const bj::value& budget_30d,
                   const std::string& month_caption = ROLLING_MONTH_CAPTION);

using Rows = std::vector<std::vector<std::string>>;

struct RefreshData {
    KpiCells kpis;
    Rows agents;
    Rows models;
    Rows recent;
    std::string status;
};

// The inputs of a refresh, as read from the configuration and the ledger.
struct RefreshInputs {
    bj::object config;
    double spend_30d = 0.0;         // the monthly window's, as `[budgets] period` counts it
    bool calendar = false;          // the period is calendar
    bj::array agents;               // agent_summary over 24 hours
    bj::array models;               // summary over 24 hours, all tags
    bj::array calls;                // the 30 most recent calls
    std::int64_t without_cost = 0;  // calls of the 24 hours without a cost (counted when accounting is on)
};

// Reads the configuration and the four ledger queries, in that order.
RefreshInputs read_inputs(store::Store& store);

// Every text of the screen from `in`, with `now` as the current Unix time.
// Throws when a row lacks a field that a cell needs.
RefreshData build_refresh(const RefreshInputs& in, double now);

// read_inputs() then build_refresh() at the current time.
RefreshData compute_refresh(store::Store& store);

// Rows of each table that fit a screen area of `height` lines below the
// title, given how many rows each table has; 0 hides a table (only when too
// few lines are left: an empty table keeps its header). The tables share
// what the KPI bar, the labels and the status line leave.
std::array<int, 3> table_heights(int height, const std::array<std::size_t, 3>& rows);

// Runs the dashboard over `store` until the user quits; returns the
// toolkit's exit code.
int launch(std::shared_ptr<store::Store> store);

}  // namespace tokentally::tui
