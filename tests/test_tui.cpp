// The dashboard: its formatters and refresh texts without a terminal, and
// the real program in a tmux pane.
#include "support/scratch.hpp"

#include "tokentally/ledger/ledger.hpp"
#include "tokentally/views/tui.hpp"

#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace bj = boost::json;
namespace tui = tokentally::tui;
namespace ledger = tokentally::ledger;
using namespace std::chrono_literals;

namespace {

std::string hms(double ts) {
    auto t = static_cast<std::time_t>(ts);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    return buf;
}

bj::object call_row(bj::value session, bj::value model, bj::value tag) {
    return {{"id", 1},
            {"ts", 1700000000.5},
            {"model_id", model},
            {"tag", tag},
            {"session_id", session},
            {"prompt_tokens", nullptr},
            {"completion_tokens", nullptr},
            {"cost_usd", nullptr},
            {"elapsed_s", nullptr},
            {"status", 0},
            {"streamed", 0}};
}

bj::object group_row(std::string_view key, bj::value id, bj::value tag) {
    bj::object r{{key, id},
                 {"tag", tag},
                 {"calls", 2},
                 {"total_prompt", 1234},
                 {"total_completion", nullptr},
                 {"total_cost", 0.5},
                 {"avg_latency", 1.234},
                 {"errors", nullptr}};
    return r;
}

}  // namespace

TEST(Formatters, Durations) {
    EXPECT_EQ(tui::fmt_dur(59.9), "59s");
    EXPECT_EQ(tui::fmt_dur(60), "1m 0s");
    EXPECT_EQ(tui::fmt_dur(125), "2m 5s");
    EXPECT_EQ(tui::fmt_dur(3600), "1h 0m");
    EXPECT_EQ(tui::fmt_dur(3725.9), "1h 2m");
    EXPECT_EQ(tui::fmt_dur(0.4), "0s");
    EXPECT_EQ(tui::fmt_dur(90000), "25h 0m");
    EXPECT_EQ(tui::fmt_dur(0), "—");
    EXPECT_EQ(tui::fmt_dur(nullptr), "—");
}

TEST(Formatters, CountsCostsAndTimes) {
    EXPECT_EQ(tui::fmt_int(999), "999");
    EXPECT_EQ(tui::fmt_int(1000), "1,000");
    EXPECT_EQ(tui::fmt_int(1000000), "1,000,000");
    EXPECT_EQ(tui::fmt_int(-1234567), "-1,234,567");
    EXPECT_EQ(tui::fmt_int(1234.99), "1,234");  // truncated, not rounded
    EXPECT_EQ(tui::fmt_int(0), "0");
    EXPECT_EQ(tui::fmt_int(nullptr), "—");
    EXPECT_EQ(tui::fmt_cost(nullptr), "—");
    EXPECT_EQ(tui::fmt_cost(0), "$0.000000");
    EXPECT_EQ(tui::fmt_cost(-0.5), "$-0.500000");
    EXPECT_EQ(tui::fmt_cost(0.0000125), "$0.000013");
    EXPECT_EQ(tui::fmt_ts(nullptr), "—");
    EXPECT_EQ(tui::fmt_ts(0), "—");
    EXPECT_EQ(tui::fmt_ts(1700000000.9), hms(1700000000));
    EXPECT_THROW(tui::fmt_cost("1.0"), std::exception);
}

TEST(Kpis, BudgetTextAndColour) {
    auto none = tui::kpi_cells(1.25, 1234, 1000, nullptr, 3.0, nullptr);
    EXPECT_EQ(none[0].caption, "COST 24H");
    EXPECT_EQ(none[0].value, "$1.250000");
    EXPECT_EQ(none[0].colour, "green");
    EXPECT_EQ(none[1].value, "1234");  // the call count has no separators
    EXPECT_EQ(none[1].colour, "cyan");
    EXPECT_EQ(none[2].caption, "TOKENS IN");
    EXPECT_EQ(none[2].value, "1,000");
    EXPECT_EQ(none[3].value, "—");
    EXPECT_EQ(none[4].caption, "SPEND 30D");
    EXPECT_EQ(none[4].value, "$3.000000 ");
    EXPECT_EQ(none[4].colour, "green");

    auto at_budget = tui::kpi_cells(0, 0, 0, 0, 5.0, 5);
    EXPECT_EQ(at_budget[4].value, "$5.000000 / $5.00");
    EXPECT_EQ(at_budget[4].colour, "red");
    EXPECT_EQ(tui::kpi_cells(0, 0, 0, 0, 4.99, 5.0)[4].colour, "green");
    auto zero = tui::kpi_cells(0, 0, 0, 0, 1.0, 0);
    EXPECT_EQ(zero[4].value, "$1.000000 ");
    EXPECT_EQ(zero[4].colour, "green");
}

TEST(Refresh, EmptyLedgerShowsZerosAndAStatusLine) {
    tt_test::Scratch s;
    auto data = tui::compute_refresh(*tt_test::store());
    EXPECT_EQ(data.kpis[0].value, "$0.000000");
    EXPECT_EQ(data.kpis[1].value, "0");
    EXPECT_EQ(data.kpis[2].value, "0");
    EXPECT_EQ(data.kpis[3].value, "0");
    EXPECT_EQ(data.kpis[4].value, "$0.000000 ");
    EXPECT_TRUE(data.agents.empty() && data.models.empty() && data.recent.empty());
    EXPECT_EQ(data.status.rfind(" refreshed ", 0), 0u);
    EXPECT_NE(data.status.find(" · 3s interval · [q] quit"), std::string::npos);
}

TEST(Refresh, StatusLineCountsCallsWithoutCostWhenAccountingIsOn) {
    tt_test::Scratch s;
    ledger::CallRecord streamed;  // a stream without usage
    streamed.model_id = "openai/gpt-4o";
    streamed.status = 200;
    streamed.streamed = true;
    ledger::CallRecord unknown = streamed;  // a model no price list knows
    unknown.model_id = "acme/unknown-model";
    unknown.prompt_tokens = 10;
    unknown.completion_tokens = 5;
    unknown.cost_usd = 0.0;
    ledger::CallRecord priced = unknown;
    priced.model_id = "openai/gpt-4o";
    priced.cost_usd = 0.5;
    auto writer = ledger::make_writer(tt_test::store());
    for (const auto* rec : {&streamed, &unknown, &priced}) ledger::record_call(*writer, *rec);

    auto store = tt_test::store();
    EXPECT_EQ(tui::compute_refresh(*store).status.find("without cost"), std::string::npos) << "switches off: as before";
    s.write_config("[accounting]\ncache_pricing = true\n");
    EXPECT_NE(tui::compute_refresh(*store).status.find(" · 2 calls without cost (24h cost is partial)"),
              std::string::npos);
}

TEST(Refresh, CellTexts) {
    tui::RefreshInputs in;
    std::string long_id = "session-0123456789abcdefg";  // 25 characters
    double now = 1700000000.0;
    auto agent = group_row("session_id", bj::value(long_id), "a-very-long-tag-name");
    agent["first_call"] = now - 3725;
    agent["last_call"] = now;
    in.agents.push_back(agent);
    auto anonymous = group_row("session_id", nullptr, nullptr);
    anonymous["first_call"] = nullptr;
    anonymous["last_call"] = nullptr;
    in.agents.push_back(anonymous);
    in.models.push_back(group_row("model_id", nullptr, "t"));
    in.models.push_back(group_row("model_id", "openai/gpt-4o", "t"));
    in.calls.push_back(call_row(bj::value(long_id), nullptr, nullptr));
    in.calls.push_back(call_row("ünïcödé-session-name", "m", "t"));
    in.config = {{"budgets", {{"monthly", 10}}}};
    in.spend_30d = 12.5;

    auto d = tui::build_refresh(in, now);
    EXPECT_EQ(d.agents[0], (std::vector<std::string>{"session-0123456789ab", "a-very-long-", "2", "1,234", "—",
                                                     "$0.500000", "1.23s", "1h 2m", "0"}));
    EXPECT_EQ(d.agents[1][0], "default");
    EXPECT_EQ(d.agents[1][1], "");
    EXPECT_EQ(d.agents[1][7], "—");  // no first call: no time active
    EXPECT_EQ(d.models[0][0], "unknown");
    EXPECT_EQ(d.models[1].size(), 8u);
    EXPECT_EQ(d.recent[0], (std::vector<std::string>{hms(1700000000), "session-01234567", "unknown", "", "—", "—", "—",
                                                     "0.00s", "—"}));
    EXPECT_EQ(d.recent[1][1], "ünïcödé-session-");  // cut by characters, not bytes
    // Headline sums over the model groups, null entries counted as 0.
    EXPECT_EQ(d.kpis[0].value, "$1.000000");
    EXPECT_EQ(d.kpis[1].value, "4");
    EXPECT_EQ(d.kpis[2].value, "2,468");
    EXPECT_EQ(d.kpis[3].value, "0");
    EXPECT_EQ(d.kpis[4].value, "$12.500000 / $10.00");
    EXPECT_EQ(d.kpis[4].colour, "red");
}

TEST(Refresh, FailuresAreReportedNotSwallowed) {
    tt_test::Scratch s;
    tui::RefreshInputs in;
    auto broken = call_row("s", "m", "t");
    broken.erase("status");
    in.calls.push_back(broken);
    try {
        tui::build_refresh(in, 0);
        FAIL() << "a row without status must fail the refresh";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("status"), std::string::npos) << e.what();
    }
    s.write_config("[budgets]\nmonthly = \"lots\"\n");
    EXPECT_THROW(tui::compute_refresh(*tt_test::store()), std::exception);
    s.write_config("[budgets\n");
    EXPECT_THROW(tui::compute_refresh(*tt_test::store()), std::exception);
}

TEST(Layout, TablesShareWhatFitsAndVanishOnTinyScreens) {
    // 40 lines minus the title bar and the footer.
    auto h = tui::table_heights(38, {3, 2, 30});
    EXPECT_EQ(h[0], 5);
    EXPECT_EQ(h[1], 4);
    EXPECT_GT(h[2], 5);
    EXPECT_LE(h[0] + h[1] + h[2], 38 - 8);
    auto full = tui::table_heights(200, {500, 500, 500});
    for (int x : full) EXPECT_EQ(x, 20);
    for (int lines : {-5, 0, 3, 8, 10, 12}) {
        auto tiny = tui::table_heights(lines, {100, 100, 100});
        for (int x : tiny) {
            EXPECT_GE(x, 0) << lines;
            EXPECT_LE(x, std::max(0, lines - 8)) << lines;
        }
    }
}

// --- the program in a terminal ------------------------------------------------

namespace {

// One tmux server of our own, so that the test never touches the user's.
// Each instance gets a socket name of its own: kill-server returns before the
// old server has exited, and a new session started on the same name meanwhile
// connects to the dying server and fails with "server exited unexpectedly".
struct Tmux {
    std::string socket = "tt-tui-" + std::to_string(::getpid()) + "-" + std::to_string(++instances);
    std::string cmd(const std::string& args) const { return "tmux -L " + socket + " -f /dev/null " + args; }
    std::string screen() const { return tt_test::run(cmd("capture-pane -p -t tt 2>/dev/null")).out; }
    void keys(const std::string& k) const { tt_test::run(cmd("send-keys -t tt " + k)); }
    ~Tmux() {
        tt_test::run(cmd("kill-server 2>/dev/null"));
        // tmux leaves its socket file behind; with a name per instance they
        // would pile up in the shared socket directory.
        const char* dir = std::getenv("TMUX_TMPDIR");
        std::error_code ignored;
        std::filesystem::remove(
            std::string(dir && *dir ? dir : "/tmp") + "/tmux-" + std::to_string(::getuid()) + "/" + socket, ignored);
    }
    static inline int instances = 0;
};

// Polls the screen until it contains `needle`; the time it took, or -1.
double wait_for(const Tmux& t, const std::string& needle, double limit_s) {
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (t.screen().find(needle) != std::string::npos) return waited;
        if (waited > limit_s) return -1;
        std::this_thread::sleep_for(100ms);
    }
}

void seed(int n) {
    ledger::init_db(*tt_test::store());
    SQLite::Database conn(tt_test::store()->location(), SQLite::OPEN_READWRITE);
    SQLite::Transaction tx(conn);
    SQLite::Statement st(conn,
                         "INSERT INTO calls (ts, model_id, tag, session_id, prompt_tokens, completion_tokens, "
                         "cost_usd, elapsed_s, status, streamed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, 0)");
    const char* models[] = {"openai/gpt-4o", "anthropic/claude-3-5-sonnet", "openai/gpt-4o-mini", "ollama/llama3"};
    const char* tags[] = {"web", "batch", "default"};
    double now = tokentally::store::now();
    for (int i = 0; i < n; ++i) {
        st.bind(1, now - 60 - i * 60);  // one call a minute over the last ~17 hours
        st.bind(2, models[i % 4]);
        st.bind(3, tags[i % 3]);
        st.bind(4, "agent-" + std::to_string(i % 7));
        st.bind(5, 100 + i);
        st.bind(6, 50);
        st.bind(7, 0.001);
        st.bind(8, 0.5);
        st.bind(9, i % 50 == 0 ? 500 : 200);
        st.exec();
        st.reset();
    }
    tx.commit();
}

}  // namespace

TEST(Dashboard, RefusesToRunWithoutATerminal) {
    tt_test::Scratch s;
    auto r = tt_test::run(std::string(std::getenv("TOKENTALLY_BIN")) + " tui </dev/null 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("needs a terminal"), std::string::npos) << r.out;
}

TEST(Dashboard, RunsInATerminal) {
    if (tt_test::run("command -v tmux").status != 0) GTEST_SKIP() << "tmux is not installed";
    tt_test::Scratch s;
    s.write_config("[budgets]\nmonthly = 100\n");
    seed(1000);
    Tmux t;
    std::string exit_file = s.root + "/exit";
    std::string program =
        "HOME=" + s.home + " TOKENTALLY_DATA_DIR=" + s.data + " LANG=C.UTF-8 " + std::getenv("TOKENTALLY_BIN") + " tui";
    std::string shell = "echo before-dashboard; " + program + "; echo $? > " + exit_file + "; sleep 30";
    ASSERT_EQ(tt_test::run(t.cmd("new-session -d -s tt -x 120 -y 40 '" + shell + "'")).status, 0);

    ASSERT_GE(wait_for(t, "SPEND 30D", 30), 0) << t.screen();
    ASSERT_GE(wait_for(t, "refreshed", 30), 0) << t.screen();
    std::string screen = t.screen();
    for (const char* text : {"tokentally",
                             "COST 24H",
                             "CALLS 24H",
                             "TOKENS IN",
                             "TOKENS OUT",
                             "SPEND 30D",
                             "● AGENTS (24H)",
                             "● COST BY MODEL (24H)",
                             "● RECENT CALLS",
                             "Session",
                             "Avg Lat",
                             "Active",
                             "Errors",
                             "Model",
                             "In Tok",
                             "Out Tok",
                             "Cost $",
                             "Time",
                             "Lat",
                             "St",
                             "$1.000000",
                             "1000",
                             "/ $100.00",
                             "agent-",
                             "openai/gpt-4o",
                             "anthropic/claude-3-5-sonnet",
                             "3s interval",
                             "[q] quit",
                             "Quit",
                             "Refresh"})
        EXPECT_NE(screen.find(text), std::string::npos) << text << "\n" << screen;
    // 1,000 calls of 100..1099 prompt tokens: 599,500 in, 50,000 out.
    EXPECT_NE(screen.find("599,500"), std::string::npos) << screen;
    EXPECT_NE(screen.find("50,000"), std::string::npos) << screen;

    // A new call appears by the timer's refresh alone, without a key.
    ledger::record_call(*ledger::make_writer(tt_test::store()), {.model_id = "openai/gpt-4o",
                                                                 .tag = "web",
                                                                 .session_id = "fresh-call",
                                                                 .prompt_tokens = 7,
                                                                 .completion_tokens = 3,
                                                                 .cost_usd = 0.5,
                                                                 .elapsed_s = 0.2,
                                                                 .status = 200});
    EXPECT_GE(wait_for(t, "fresh-call", 30), 0) << t.screen();
    EXPECT_NE(t.screen().find("1001"), std::string::npos);

    // A broken configuration shows on the status line; the screen stays.
    s.write_config("[budgets\n");
    t.keys("r");
    EXPECT_GE(wait_for(t, " error: ", 30), 0) << t.screen();
    EXPECT_NE(t.screen().find("fresh-call"), std::string::npos);
    s.write_config("");
    t.keys("r");
    EXPECT_GE(wait_for(t, "refreshed", 30), 0) << t.screen();

    // Resizing redraws; a tiny terminal does not end the program.
    tt_test::run(t.cmd("resize-window -t tt -x 30 -y 8"));
    std::this_thread::sleep_for(500ms);
    tt_test::run(t.cmd("resize-window -t tt -x 12 -y 3"));
    std::this_thread::sleep_for(500ms);
    tt_test::run(t.cmd("resize-window -t tt -x 120 -y 40"));
    EXPECT_GE(wait_for(t, "● RECENT CALLS", 30), 0) << t.screen();
    EXPECT_TRUE(tt_test::read_file(exit_file).empty()) << "the dashboard ended early";

    t.keys("q");
    tt_test::eventually([&] { return !tt_test::read_file(exit_file).empty(); }, 30000ms);
    EXPECT_EQ(tt_test::read_file(exit_file), "0\n");
    // The shell's screen is back as it was before the dashboard.
    screen = t.screen();
    EXPECT_NE(screen.find("before-dashboard"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("COST 24H"), std::string::npos) << screen;
}

// The first screen: the three tables' headers even on a new ledger, and on a
// seeded one the figures in the very frame that first shows the footer
// (before this, they waited for the timer's first tick, 3 s in).
TEST(Dashboard, FirstScreenHasHeadersAndFigures) {
    if (tt_test::run("command -v tmux").status != 0) GTEST_SKIP() << "tmux is not installed";
    tt_test::Scratch s;
    std::string interval;
    auto start = [&](const Tmux& t) {
        std::string program = interval + "HOME=" + s.home + " TOKENTALLY_DATA_DIR=" + s.data + " LANG=C.UTF-8 " +
                              std::getenv("TOKENTALLY_BIN") + " tui; sleep 30";
        ASSERT_EQ(tt_test::run(t.cmd("new-session -d -s tt -x 160 -y 45 '" + program + "'")).status, 0);
    };
    {
        Tmux t;
        start(t);
        ASSERT_GE(wait_for(t, "● RECENT CALLS", 30), 0) << t.screen();
        ASSERT_GE(wait_for(t, "refreshed", 30), 0) << t.screen();
        std::string screen = t.screen();
        for (const auto* columns : {&tui::AGENTS_COLUMNS, &tui::MODEL_COLUMNS, &tui::RECENT_COLUMNS})
            for (const auto& c : *columns) EXPECT_NE(screen.find(c), std::string::npos) << c << "\n" << screen;
    }
    seed(300);
    Tmux t;
    interval = "TOKENTALLY_TUI_REFRESH=600 ";
    start(t);
    // The timer's first redraw is ten minutes away: figures on the screen
    // within the generous wait come from the first refresh alone.
    ASSERT_GE(wait_for(t, "r-Refresh", 30), 0) << t.screen();
    EXPECT_GE(wait_for(t, "agent-", 30), 0) << "the first screen shows no figures\n" << t.screen();
    EXPECT_NE(t.screen().find("600s interval"), std::string::npos) << t.screen();
    EXPECT_NE(t.screen().find("300"), std::string::npos) << t.screen();
}
