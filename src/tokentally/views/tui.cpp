#include "tokentally/views/tui.hpp"

#include "tokentally/accounting/usage.hpp"
#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/guards/periods.hpp"
#include "tokentally/ledger/ledger.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

namespace tokentally::tui {

namespace {

constexpr const char* MISSING = "—";

// Tables of the dashboard hold the last day's sessions and model groups and
// this many of the latest calls.
constexpr double WINDOW_HOURS = 24.0;
constexpr std::int64_t RECENT_CALLS = 30;

// Screen lines outside the tables: the KPI bar (a boxed caption and value),
// the three section labels and the status line.
constexpr int KPI_HEIGHT = 4;
constexpr int FIXED_LINES = KPI_HEIGHT + 3 + 1;
// A table's border and header lines, and its tallest size.
constexpr int TABLE_CHROME = 2;
constexpr int MAX_TABLE_HEIGHT = 20;

std::string _group_digits(const std::string& digits) {
    std::string out;
    std::size_t start = (!digits.empty() && digits[0] == '-') ? 1 : 0;
    out.append(digits, 0, start);
    std::size_t n = digits.size() - start;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out += ',';
        out += digits[start + i];
    }
    return out;
}

std::string _local_hms(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    return buf;
}

// Rows are read by name: a row without a field its cell needs is a fault
// of the ledger's shape, reported instead of shown as a blank.
const bj::value& _field(const bj::object& rec, std::string_view name) {
    auto it = rec.find(name);
    if (it == rec.end()) throw std::runtime_error(fmt::format("ledger row has no field '{}'", name));
    return it->value();
}

const bj::object& _record(const bj::value& v) {
    if (!v.is_object()) throw std::runtime_error("ledger row is not a record: " + json::write(v));
    return v.as_object();
}

// Text of a value as shown in a cell: integers as digits, reals in their
// shortest form, text as it is.
std::string _plain(const bj::value& v) { return json::display(v); }

// `v` when truthy, else `fallback`.
// Texts a caller chose are shown with their control characters escaped.
std::string _text_or(const bj::value& v, const std::string& fallback) {
    return json::truthy(v) ? logging::printable(_plain(v)) : fallback;
}

std::string _count_or_zero(const bj::value& v) { return v.is_null() ? "0" : _plain(v); }

std::string _count_or_dash(const bj::value& v) { return json::truthy(v) ? _plain(v) : MISSING; }

std::string _seconds(const bj::value& v) {
    double d = v.is_null() ? 0.0 : json::as_number(v, "latency");
    return fmt::format("{:.2f}s", d);
}

// The numeric value of a headline entry; absent or null counts as 0.
double _sum_term(const bj::object& rec, std::string_view name) {
    const bj::value* v = rec.if_contains(name);
    return (v == nullptr || v->is_null()) ? 0.0 : json::as_number(*v, name);
}

// The shared tail of an agents row and a model row: Calls .. Avg Lat.
void _append_usage(std::vector<std::string>& row, const bj::object& rec) {
    row.push_back(_count_or_zero(_field(rec, "calls")));
    row.push_back(fmt_int(_field(rec, "total_prompt")));
    row.push_back(fmt_int(_field(rec, "total_completion")));
    row.push_back(fmt_cost(_field(rec, "total_cost")));
    row.push_back(_seconds(_field(rec, "avg_latency")));
}

std::vector<std::string> _agent_row(const bj::object& rec, double now) {
    std::vector<std::string> row;
    row.push_back(cut(_text_or(_field(rec, "session_id"), "default"), 20));
    row.push_back(cut(_text_or(_field(rec, "tag"), ""), 12));
    _append_usage(row, rec);
    const bj::value& first = _field(rec, "first_call");
    double since = json::truthy(first) ? json::as_number(first, "first_call") : now;
    row.push_back(fmt_dur(now - since));
    row.push_back(_count_or_zero(_field(rec, "errors")));
    return row;
}

std::vector<std::string> _model_row(const bj::object& rec) {
    std::vector<std::string> row;
    row.push_back(cut(_text_or(_field(rec, "model_id"), "unknown"), 40));
    row.push_back(cut(_text_or(_field(rec, "tag"), ""), 12));
    _append_usage(row, rec);
    row.push_back(_count_or_zero(_field(rec, "errors")));
    return row;
}

std::vector<std::string> _recent_row(const bj::object& rec) {
    return {
        fmt_ts(_field(rec, "ts")),
        cut(_text_or(_field(rec, "session_id"), "default"), 16),
        cut(_text_or(_field(rec, "model_id"), "unknown"), 32),
        cut(_text_or(_field(rec, "tag"), ""), 10),
        _count_or_dash(_field(rec, "prompt_tokens")),
        _count_or_dash(_field(rec, "completion_tokens")),
        fmt_cost(_field(rec, "cost_usd")),
        _seconds(_field(rec, "elapsed_s")),
        _count_or_dash(_field(rec, "status")),
    };
}

template <class MakeRow>
Rows _rows(const bj::array& records, MakeRow make_row) {
    Rows rows;
    rows.reserve(records.size());
    for (const auto& v : records) rows.push_back(make_row(_record(v)));
    return rows;
}

KpiCells _headline(const RefreshInputs& in) {
    double cost = 0.0, calls = 0.0, tokens_in = 0.0, tokens_out = 0.0;
    for (const auto& v : in.models) {
        const auto& rec = _record(v);
        cost += _sum_term(rec, "total_cost");
        calls += _sum_term(rec, "calls");
        tokens_in += _sum_term(rec, "total_prompt");
        tokens_out += _sum_term(rec, "total_completion");
    }
    const bj::value* budget = json::table(in.config, "budgets").if_contains("monthly");
    return kpi_cells(cost, static_cast<std::int64_t>(calls), static_cast<std::int64_t>(tokens_in),
                     static_cast<std::int64_t>(tokens_out), in.spend_30d, budget ? *budget : bj::value(),
                     in.calendar ? CALENDAR_MONTH_CAPTION : ROLLING_MONTH_CAPTION);
}

// REFRESH_INTERVAL, or TOKENTALLY_TUI_REFRESH when it holds a whole number
// of seconds from 1 on (a slow terminal, or a test that must tell the first
// screen from the timer's redraws).
int _refresh_interval() {
    static const int seconds = [] {
        const char* env = std::getenv("TOKENTALLY_TUI_REFRESH");
        char* end = nullptr;
        long n = env != nullptr ? std::strtol(env, &end, 10) : 0;
        return env != nullptr && *env != '\0' && *end == '\0' && n >= 1 && n <= 86400 ? static_cast<int>(n)
                                                                                      : REFRESH_INTERVAL;
    }();
    return seconds;
}

std::string _status_text(double now, std::int64_t without_cost) {
    std::string text = " refreshed " + _local_hms(static_cast<std::time_t>(std::floor(now))) + " · " +
                       std::to_string(_refresh_interval()) + "s interval · [q] quit";
    // The 24-hour cost leaves these calls out: say so, or it reads as whole.
    if (without_cost > 0)
        text += " · " + std::to_string(without_cost) + (without_cost == 1 ? " call" : " calls") +
                " without cost (24h cost is partial)";
    return text;
}

}  // namespace

std::string fmt_cost(const bj::value& v) {
    if (v.is_null()) return MISSING;
    return fmt::format("${:.6f}", json::as_number(v, "cost"));
}

std::string fmt_int(const bj::value& v) {
    if (v.is_null()) return MISSING;
    if (v.is_int64()) return _group_digits(std::to_string(v.get_int64()));
    if (v.is_uint64()) return _group_digits(std::to_string(v.get_uint64()));
    // A real is truncated toward zero; "{:.0f}" of the truncated value keeps
    // every magnitude exact where a cast to int64 would overflow.
    return _group_digits(fmt::format("{:.0f}", std::trunc(json::as_number(v, "count"))));
}

std::string fmt_ts(const bj::value& ts) {
    if (!json::truthy(ts)) return MISSING;
    return _local_hms(static_cast<std::time_t>(std::floor(json::as_number(ts, "timestamp"))));
}

std::string fmt_dur(const bj::value& seconds) {
    if (!json::truthy(seconds)) return MISSING;
    auto total = static_cast<std::int64_t>(std::trunc(json::as_number(seconds, "duration")));
    // Floor division keeps the remainder in 0..3599 for a negative duration
    // (a first call stamped by a clock ahead of this one).
    std::int64_t h = total / 3600 - (total % 3600 < 0 ? 1 : 0);
    std::int64_t r = total - h * 3600;
    std::int64_t m = r / 60, s = r % 60;
    if (h != 0) return fmt::format("{}h {}m", h, m);
    if (m != 0) return fmt::format("{}m {}s", m, s);
    return fmt::format("{}s", s);
}

std::string cut(const std::string& text, std::size_t n) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool starts_char = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        if (starts_char && chars++ == n) return text.substr(0, i);
    }
    return text;
}

KpiCells kpi_cells(const bj::value& total_cost, std::int64_t calls, const bj::value& total_in,
                   const bj::value& total_out, const bj::value& spend_30d, const bj::value& budget_30d,
                   const std::string& month_caption) {
    bool has_budget = json::truthy(budget_30d);
    double budget = has_budget ? json::as_number(budget_30d, "budgets.monthly") : 0.0;
    double spend = spend_30d.is_null() ? 0.0 : json::as_number(spend_30d, "30-day spend");
    std::string budget_text = has_budget ? fmt::format("/ ${:.2f}", budget) : "";
    std::string colour = (has_budget && spend >= budget) ? "red" : "green";
    return {{
        {"COST 24H", fmt_cost(total_cost), "green"},
        {"CALLS 24H", std::to_string(calls), "cyan"},
        {"TOKENS IN", fmt_int(total_in), "cyan"},
        {"TOKENS OUT", fmt_int(total_out), "cyan"},
        {month_caption, fmt_cost(spend_30d) + " " + budget_text, colour},
    }};
}

RefreshInputs read_inputs(store::Store& store) {
    RefreshInputs in;
    in.config = config::load();
    // A period the budget check rejects (and logs) leaves the rolling month here.
    periods::Period period = periods::Period::rolling;
    try {
        period = periods::period(json::table(in.config, "budgets"));
    } catch (const std::exception&) {}
    in.calendar = period == periods::Period::calendar;
    in.spend_30d = store.calls().spend(periods::since(period, periods::Span::month, store::now()), std::nullopt);
    in.agents = ledger::agent_summary(store, WINDOW_HOURS);
    in.models = ledger::summary(store, std::nullopt, WINDOW_HOURS);
    in.calls = ledger::recent(store, RECENT_CALLS);
    if (usage::accounting(in.config).any()) in.without_cost = ledger::calls_without_cost(store, WINDOW_HOURS);
    return in;
}

RefreshData build_refresh(const RefreshInputs& in, double now) {
    RefreshData out;
    out.kpis = _headline(in);
    out.agents = _rows(in.agents, [now](const bj::object& r) { return _agent_row(r, now); });
    out.models = _rows(in.models, _model_row);
    out.recent = _rows(in.calls, _recent_row);
    out.status = _status_text(now, in.without_cost);
    return out;
}

RefreshData compute_refresh(store::Store& store) {
    RefreshInputs in = read_inputs(store);
    return build_refresh(in, store::now());
}

// ---------------------------------------------------------------------------
// Screen layout: the KPI bar, three labelled tables and the status line
// share the area between the title bar and the footer.
// ---------------------------------------------------------------------------

std::array<int, 3> table_heights(int height, const std::array<std::size_t, 3>& rows) {
    std::array<int, 3> h{0, 0, 0};
    int avail = height - FIXED_LINES;
    if (avail <= 0) return h;
    std::array<int, 3> want{};
    // An empty table still wants its header and one blank line: a new
    // ledger shows what each table will hold.
    for (int i = 0; i < 3; ++i)
        want[i] =
            std::min<int>(MAX_TABLE_HEIGHT, static_cast<int>(std::clamp<std::size_t>(rows[i], 1, 1000)) + TABLE_CHROME);
    int used = 0;
    for (int i = 0; i < 3; ++i) used += h[i] = std::min(want[i], avail / 3);
    // Space a short table leaves goes to the recent calls first: that table
    // is the one that always has more rows than fit.
    for (int i : {2, 0, 1}) {
        int extra = std::min(want[i] - h[i], avail - used);
        h[i] += extra;
        used += extra;
    }
    for (auto& x : h)
        if (x < TABLE_CHROME + 1) x = 0;
    return h;
}

}  // namespace tokentally::tui

// ---------------------------------------------------------------------------
// The FINAL CUT widgets. They only display a RefreshData; every figure and
// text comes from the functions above.
// ---------------------------------------------------------------------------

#include <final/final.h>
#include <unistd.h>

namespace tokentally::tui {

namespace fc = finalcut;

namespace {

// The dark palette of the dashboard in the 256-colour cube: near-black
// screen, a slightly lighter surface for the KPI cells, dim grey borders
// and labels.
constexpr fc::FColor SCREEN_BG = fc::FColor::Grey3;   // #080808
constexpr fc::FColor SURFACE_BG = fc::FColor::Grey7;  // #121212
constexpr fc::FColor BORDER_FG = fc::FColor::Grey23;  // #3a3a3a, a dim line still visible on black
constexpr fc::FColor LABEL_FG = fc::FColor::Grey35;   // #585858
constexpr fc::FColor TEXT_FG = fc::FColor::Grey85;
constexpr fc::FColor CURSOR_BG = fc::FColor::Grey19;

fc::FColor _caption_colour(const std::string& name) {
    if (name == "red") return fc::FColor::Red1;
    if (name == "cyan") return fc::FColor::Cyan1;
    return fc::FColor::Green1;
}

// UTF-8 to the toolkit's wide strings without depending on the locale.
std::wstring _wide(const std::string& s) {
    std::wstring out;
    for (std::size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        int len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
        char32_t cp = len == 1 ? c : (c & (0x7F >> len));
        for (int k = 1; k < len && i + k < s.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.push_back(static_cast<wchar_t>(cp));
        i += static_cast<std::size_t>(len);
    }
    return out;
}

struct DarkTheme final : fc::FWidgetColors {
    DarkTheme() { DarkTheme::setColorTheme(); }
    void setColorTheme() override {
        term_fg = TEXT_FG, term_bg = SCREEN_BG;
        // Table frames are drawn in the dialog's foreground colour: keep it dim.
        dialog_fg = BORDER_FG, dialog_bg = SCREEN_BG, dialog_emphasis_fg = TEXT_FG, dialog_resize_fg = TEXT_FG;
        list_fg = TEXT_FG, list_bg = SCREEN_BG;
        current_element_focus_fg = fc::FColor::Grey100, current_element_focus_bg = CURSOR_BG;
        current_element_fg = TEXT_FG, current_element_bg = CURSOR_BG;
        selected_list_fg = TEXT_FG, selected_list_bg = SCREEN_BG;
        selected_current_element_focus_fg = fc::FColor::Grey100, selected_current_element_focus_bg = CURSOR_BG;
        selected_current_element_fg = TEXT_FG, selected_current_element_bg = CURSOR_BG;
        label_fg = LABEL_FG, label_bg = SCREEN_BG, label_emphasis_fg = LABEL_FG;
        label_inactive_fg = LABEL_FG, label_inactive_bg = SCREEN_BG;
        label_hotkey_fg = TEXT_FG, label_hotkey_bg = SCREEN_BG, label_ellipsis_fg = LABEL_FG;
        titlebar_active_fg = TEXT_FG, titlebar_active_bg = SURFACE_BG;
        titlebar_inactive_fg = TEXT_FG, titlebar_inactive_bg = SURFACE_BG;
        titlebar_button_fg = LABEL_FG, titlebar_button_bg = SURFACE_BG;
        titlebar_button_focus_fg = TEXT_FG, titlebar_button_focus_bg = SURFACE_BG;
        statusbar_fg = TEXT_FG, statusbar_bg = SURFACE_BG;
        statusbar_hotkey_fg = fc::FColor::Cyan1, statusbar_hotkey_bg = SURFACE_BG;
        statusbar_separator_fg = LABEL_FG;
        statusbar_active_fg = TEXT_FG, statusbar_active_bg = CURSOR_BG;
        statusbar_active_hotkey_fg = fc::FColor::Cyan1, statusbar_active_hotkey_bg = CURSOR_BG;
        scrollbar_fg = LABEL_FG, scrollbar_bg = SCREEN_BG;
        scrollbar_button_fg = LABEL_FG, scrollbar_button_bg = SCREEN_BG;
        scrollbar_button_inactive_fg = BORDER_FG, scrollbar_button_inactive_bg = SCREEN_BG;
        shadow_fg = SCREEN_BG, shadow_bg = SCREEN_BG;
        menu_active_fg = TEXT_FG, menu_active_bg = SURFACE_BG;
        menu_active_focus_fg = fc::FColor::Grey100, menu_active_focus_bg = CURSOR_BG;
        menu_inactive_fg = LABEL_FG, menu_inactive_bg = SURFACE_BG;
        menu_hotkey_fg = fc::FColor::Cyan1, menu_hotkey_bg = SURFACE_BG;
    }
};

}  // namespace

// The five KPI cells side by side, each a fifth of the bar: a dim box with a
// bold coloured caption above the bold value.
class KpiBar final : public fc::FWidget {
public:
    explicit KpiBar(fc::FWidget* parent) : fc::FWidget(parent) {}

    void update_kpis(const bj::value& total_cost, std::int64_t calls, const bj::value& total_in,
                     const bj::value& total_out, const bj::value& spend_30d, const bj::value& budget_30d) {
        show_cells(kpi_cells(total_cost, calls, total_in, total_out, spend_30d, budget_30d));
    }

    void show_cells(const KpiCells& cells) {
        cells_ = cells;
        redraw();
    }

private:
    void draw() override {
        setColor(TEXT_FG, SCREEN_BG);
        clearArea();
        auto width = static_cast<int>(getWidth());
        for (int i = 0; i < 5; ++i) {
            int left = 1 + width * i / 5, right = width * (i + 1) / 5;
            _draw_cell(cells_[static_cast<std::size_t>(i)], left, right - left + 1);
        }
    }

    // One cell in columns left .. left+span-1, with a margin of one column on
    // each side when there is room for it.
    void _draw_cell(const KpiCell& cell, int left, int span) {
        if (span >= 6) left += 1, span -= 2;
        if (span < 1) return;
        // On a narrow terminal the figures matter more than the frame.
        auto text = std::max(_wide(cell.caption).size(), _wide(cell.value).size());
        bool boxed = static_cast<std::size_t>(span) >= text + 2 && getHeight() >= 4;
        int inner = boxed ? span - 2 : span;
        int top = boxed ? 2 : 1;
        if (boxed) _draw_box(left, span);
        _print_centred(cell.caption, left + (boxed ? 1 : 0), inner, top, _caption_colour(cell.colour));
        if (getHeight() > static_cast<std::size_t>(top))
            _print_centred(cell.value, left + (boxed ? 1 : 0), inner, top + 1, TEXT_FG);
    }

    void _draw_box(int left, int span) {
        setColor(BORDER_FG, SURFACE_BG);
        std::wstring bar(static_cast<std::size_t>(span - 2), L'─');
        print() << fc::FPoint{left, 1} << L'┌' << bar << L'┐';
        for (int y = 2; y <= 3; ++y) {
            print() << fc::FPoint{left, y} << L'│' << std::wstring(static_cast<std::size_t>(span - 2), L' ') << L'│';
        }
        print() << fc::FPoint{left, 4} << L'└' << bar << L'┘';
    }

    void _print_centred(const std::string& text, int left, int span, int y, fc::FColor fg) {
        std::wstring w = _wide(text);
        if (w.size() > static_cast<std::size_t>(span)) w.resize(static_cast<std::size_t>(span));
        int x = left + (span - static_cast<int>(w.size())) / 2;
        setColor(fg, SURFACE_BG);
        setBold();
        print() << fc::FPoint{x, y} << w;
        unsetBold();
    }

    KpiCells cells_ = kpi_cells(bj::value(), 0, bj::value(), bj::value(), bj::value(), bj::value());
};

// The dashboard: title bar, KPI bar, three labelled tables, the status line
// and the footer with the key bindings. One refresh at start, then every
// REFRESH_INTERVAL seconds and on `r`.
class TokenTallyDashboard final : public fc::FDialog {
public:
    TokenTallyDashboard(fc::FWidget* parent, std::shared_ptr<store::Store> store)
        : fc::FDialog(parent), store_(std::move(store)) {
        setText(TITLE);
        unsetBorder();
        unsetShadow();
        setTitlebarButtonVisibility(false);
        _compose();
    }

    void on_mount() {
        _add_columns(tables_[0], AGENTS_COLUMNS);
        _add_columns(tables_[1], MODEL_COLUMNS);
        _add_columns(tables_[2], RECENT_COLUMNS);
        refresh_data();
        timer_ = addTimer(_refresh_interval() * 1000);
    }

    // Errors of a refresh are shown on the status line and the screen keeps
    // what it showed before; the next tick starts from scratch.
    void refresh_data() {
        try {
            _show(compute_refresh(*store_));
        } catch (const std::exception& e) {
            _set_status(std::string(" error: ") + e.what());
        }
    }

    void action_refresh() { refresh_data(); }

    // The whole terminal above the footer, which the toolkit draws on the
    // last line of the desktop.
    void fit_to_terminal() {
        std::size_t height = getDesktopHeight();
        height = height > 1 ? height - 1 : 1;
        setGeometry(fc::FPoint{1, 1}, fc::FSize{std::max<std::size_t>(getDesktopWidth(), 1), height}, false);
        _place();
    }

private:
    void _compose() {
        for (std::size_t i = 0; i < 3; ++i) {
            labels_[i].setText(_wide(SECTION_LABELS[i]));
            labels_[i].setEmphasis();
        }
        status_.setForegroundColor(LABEL_FG);
        status_.setBackgroundColor(SCREEN_BG);
        footer_.setMessage("");
        key_quit_.addCallback("activate", this, &TokenTallyDashboard::_quit);
        key_refresh_.addCallback("activate", this, &TokenTallyDashboard::action_refresh);
    }

    static void _add_columns(fc::FListView& table, const std::vector<std::string>& columns) {
        for (const auto& c : columns) table.addColumn(_wide(c));
    }

    void _show(const RefreshData& data) {
        kpi_bar_.show_cells(data.kpis);
        _fill(tables_[0], data.agents);
        _fill(tables_[1], data.models);
        _fill(tables_[2], data.recent);
        rows_ = {data.agents.size(), data.models.size(), data.recent.size()};
        _set_status(data.status);
        _place();
        redraw();
    }

    static void _fill(fc::FListView& table, const Rows& rows) {
        table.clear();
        for (const auto& row : rows) {
            fc::FStringList cells;
            cells.reserve(row.size());
            for (const auto& cell : row) cells.emplace_back(_wide(cell));
            table.insert(cells);
        }
    }

    void _set_status(const std::string& text) {
        status_.setText(_wide(text));
        status_.redraw();
    }

    void _quit() { fc::FApplication::getApplicationObject()->quit(); }

    // Stacks the widgets top to bottom in the space the terminal has now;
    // what does not fit is hidden rather than squeezed below one line.
    void _place() {
        auto width = std::max<std::size_t>(getClientWidth(), 1);
        int height = static_cast<int>(getClientHeight());
        auto heights = table_heights(height, rows_);
        int y = 1;
        _put(kpi_bar_, y, width, KPI_HEIGHT, height);
        y += KPI_HEIGHT;
        for (std::size_t i = 0; i < 3; ++i) {
            _put(labels_[i], y, width, 1, height);
            y += 1;
            _put(tables_[i], y, width, heights[i], height);
            y += heights[i];
        }
        _put(status_, std::max(y, height), width, 1, height);
    }

    void _put(fc::FWidget& w, int y, std::size_t width, int h, int height) {
        if (h <= 0 || y > height) {
            w.hide();
            return;
        }
        int fit = std::min(h, height - y + 1);
        w.setGeometry(fc::FPoint{1, y}, fc::FSize{width, static_cast<std::size_t>(fit)}, false);
        w.show();
    }

    void adjustSize() override {
        fc::FDialog::adjustSize();
        fit_to_terminal();
    }

    void onTimer(fc::FTimerEvent* ev) override {
        if (ev->getTimerId() == timer_) refresh_data();
    }

    void onKeyPress(fc::FKeyEvent* ev) override {
        if (ev->key() == fc::FKey('q')) {
            _quit();
            ev->accept();
        } else if (ev->key() == fc::FKey('r')) {
            action_refresh();
            ev->accept();
        } else {
            fc::FDialog::onKeyPress(ev);
        }
    }

    std::shared_ptr<store::Store> store_;
    KpiBar kpi_bar_{this};
    std::array<fc::FLabel, 3> labels_{fc::FLabel{this}, fc::FLabel{this}, fc::FLabel{this}};
    std::array<fc::FListView, 3> tables_{fc::FListView{this}, fc::FListView{this}, fc::FListView{this}};
    fc::FLabel status_{this};
    fc::FStatusBar footer_{this};
    fc::FStatusKey key_quit_{fc::FKey('q'), "Quit", &footer_};
    fc::FStatusKey key_refresh_{fc::FKey('r'), "Refresh", &footer_};
    std::array<std::size_t, 3> rows_{0, 0, 0};
    int timer_ = 0;
};

int launch(std::shared_ptr<store::Store> store) {
    // Without a terminal the toolkit ends the process itself with status 0,
    // which would report a dashboard that never ran as a success.
    for (int fd : {STDIN_FILENO, STDOUT_FILENO})
        if (!::isatty(fd))
            throw std::runtime_error(
                fmt::format("the dashboard needs a terminal, and file descriptor {} is not one", fd));
    int argc = 1;
    char name[] = "tokentally";
    char* argv[] = {name, nullptr};
    fc::FApplication app(argc, argv);
    fc::FWidget::setColorTheme<DarkTheme>();
    TokenTallyDashboard dashboard(&app, std::move(store));
    dashboard.fit_to_terminal();
    fc::FWidget::setMainWidget(&dashboard);
    // The first refresh fills widgets that are already shown, so that it is
    // drawn at once rather than with the first tick of the timer.
    dashboard.show();
    dashboard.on_mount();
    return app.exec();
}

}  // namespace tokentally::tui
