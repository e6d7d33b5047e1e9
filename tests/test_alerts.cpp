// Budget alerts: levels, texts and de-duplication of the checks, the read
// operations and the command, and recording without the alerts library.
#include "support/scratch.hpp"
#include "support/spend.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/paths.hpp"
#include "tokentally/guards/alerts.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <unistd.h>

namespace alerts = tokentally::alerts;
namespace ledger = tokentally::ledger;
namespace bj = boost::json;
using tt_test::insert_call;

namespace {

const std::string RED = "\x1b[31m";
const std::string YELLOW = "\x1b[33m";
const std::string RESET = "\x1b[0m";

bj::array stored() { return tt_test::query(tt_test::store()->location(), "SELECT * FROM alerts ORDER BY id"); }

std::string field(const bj::value& rec, const char* key) { return tokentally::json::display(rec.at(key)); }

std::string bin() { return std::getenv("TOKENTALLY_BIN"); }

}  // namespace

TEST(AlertChecks, WindowLevelsAndRounding) {
    tt_test::Scratch s;
    s.write_config("[budgets]\ndaily = 5.0\nmonthly = 100\n");
    insert_call(3600 * 2, 4.96875, "a");
    alerts::check_budgets(*tt_test::store());
    EXPECT_EQ(tt_test::query(s.db_path(), "SELECT name FROM sqlite_master WHERE name = 'alerts'").size(), 0u);

    // 5.03125 lies exactly between 5.0312 and 5.0313 (and 0.0625 between
    // 0.06 and 0.07 below): ties go to the even digit.
    insert_call(60, 0.0625, "b");
    tt_test::LogCapture log;
    alerts::check_budgets(*tt_test::store(), "a");
    auto rows = stored();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(field(rows[0], "level"), "critical");
    EXPECT_EQ(field(rows[0], "scope"), "daily");
    EXPECT_EQ(field(rows[0], "message"), "$5.0312 spent of $5.00 daily budget (101%)");
    EXPECT_DOUBLE_EQ(rows[0].at("spent").as_double(), 5.03125);
    EXPECT_EQ(rows[0].at("budget").as_double(), 5.0);
    EXPECT_EQ(rows[0].at("seen").as_int64(), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"warning tokentally.alerts: " + RED +
                                                    "⚠ BUDGET ALERT [daily] $5.0312 spent of $5.00 daily budget "
                                                    "(101%)" +
                                                    RESET});
    // The hourly window sees only the last hour.
    s.write_config("[budgets]\nhourly = 0.0625\n");
    alerts::check_budgets(*tt_test::store());
    EXPECT_EQ(field(stored().at(1), "message"), "$0.0625 spent of $0.06 hourly budget (100%)");
}

TEST(AlertChecks, TagWarnsFromEightyPercentAndOncePerHour) {
    tt_test::Scratch s;
    s.write_config("[budgets.tags.research]\ndaily = 1.00\n[budgets.tags.default]\ndaily = 0.1\n");
    insert_call(60, 0.75, "research");
    insert_call(60, 5.0, "other");  // other tags never count towards research
    insert_call(60 + 86400, 5.0, "research");
    alerts::check_budgets(*tt_test::store(), "research");
    EXPECT_EQ(tt_test::query(s.db_path(), "SELECT name FROM sqlite_master WHERE name = 'alerts'").size(), 0u);

    insert_call(60, 0.0625, "research");
    tt_test::LogCapture log;
    alerts::check_budgets(*tt_test::store(), "research");
    insert_call(60, 0.25, "research");
    alerts::check_budgets(*tt_test::store(), "research");  // now critical, but within the hour
    auto rows = stored();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(field(rows[0], "level"), "warn");
    EXPECT_EQ(field(rows[0], "scope"), "tag:research");
    EXPECT_EQ(field(rows[0], "message"), "[research] $0.8125 of $1.00 daily budget (81%)");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "warning tokentally.alerts: " + YELLOW +
                                  "⚠ BUDGET ALERT [tag:research] [research] $0.8125 of $1.00 daily budget (81%)" +
                                  RESET);

    // An hour later the same scope alerts again.
    SQLite::Database(s.db_path(), SQLite::OPEN_READWRITE).exec("UPDATE alerts SET ts = ts - 3601");
    alerts::check_budgets(*tt_test::store(), "research");
    EXPECT_EQ(field(stored().at(1), "level"), "critical");

    // No tag, or an empty one, checks the "default" entry.
    insert_call(60, 0.1, "default");
    alerts::check_budgets(*tt_test::store(), "");
    EXPECT_EQ(field(stored().at(2), "message"), "[default] $0.1000 of $0.10 daily budget (100%)");
}

TEST(AlertChecks, UnusableBudgetsNeverStopTheOtherChecks) {
    tt_test::Scratch s;
    insert_call(60, 2.0);
    // Zero or negative window budgets are passed over; the rest still runs.
    s.write_config("[budgets]\nhourly = 0\ndaily = -1.0\nmonthly = 1\n[budgets.tags.default]\ndaily = -2\n");
    alerts::check_budgets(*tt_test::store());
    auto rows = stored();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(field(rows[0], "message"), "$2.0000 spent of $1.00 monthly budget (200%)");

    // A budget that is not a number fails the check; the C entry reports it.
    // A window crossed before it is still stored.
    s.write_config("[budgets]\nhourly = 1\ndaily = \"five\"\n");
    EXPECT_THROW(alerts::check_budgets(*tt_test::store()), std::runtime_error);
    ASSERT_EQ(stored().size(), 2u);
    EXPECT_EQ(field(stored().at(1), "scope"), "hourly");
    EXPECT_NE(tokentally_alerts_check_budgets(tt_test::store().get(), nullptr), 0);
    s.write_config("");
    EXPECT_EQ(tokentally_alerts_check_budgets(tt_test::store().get(), "default"), 0);
}

TEST(AlertReads, RecentAndUnseen) {
    tt_test::Scratch s;
    EXPECT_TRUE(alerts::get_recent_alerts(*tt_test::store()).empty());  // creates the table
    for (const char* scope : {"hourly", "daily", "monthly"})
        alerts::_record_alert(*tt_test::store(), "warn", scope, 1, 1, "m");
    auto recent = alerts::get_recent_alerts(*tt_test::store(), 2);
    ASSERT_EQ(recent.size(), 2u);
    EXPECT_EQ(field(recent[0], "scope"), "monthly");

    auto unseen = alerts::get_unseen_alerts(*tt_test::store());
    ASSERT_EQ(unseen.size(), 3u);
    EXPECT_EQ(field(unseen[0], "scope"), "monthly");
    EXPECT_EQ(unseen[0].at("seen").as_int64(), 0);
    EXPECT_TRUE(alerts::get_unseen_alerts(*tt_test::store()).empty());
}

TEST(AlertProxy, CrossingCallAlertsOnceAndTheCommandShowsItOnce) {
    tt_test::Scratch s;
    s.write_config("[budgets]\ndaily = 0.005\n");
    tt_test::MockServer mock(tt_test::priced_answer);
    tt_test::RunningApp app(tokentally::proxy::make_app(tt_test::store()));
    tt_test::LogCapture log;
    EXPECT_EQ(tt_test::post_chat(app, mock, tt_test::chat_body("one")).status, 200);
    EXPECT_EQ(tt_test::post_chat(app, mock, tt_test::chat_body("two")).status, 429);

    auto rows = stored();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(field(rows[0], "level"), "critical");
    const std::string message = "$0.0075 spent of $0.01 daily budget (150%)";
    EXPECT_EQ(field(rows[0], "message"), message);
    std::string text = log.text();
    EXPECT_NE(text.find(RED + "⚠ BUDGET ALERT [daily] " + message + RESET), std::string::npos) << text;
    EXPECT_EQ(text.find("BUDGET ALERT"), text.rfind("BUDGET ALERT"));

    auto first = tt_test::run(bin() + " alerts --unseen");
    EXPECT_EQ(first.status, 0);
    EXPECT_NE(first.out.find(message), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("critical"), std::string::npos) << first.out;
    auto again = tt_test::run(bin() + " alerts --unseen --json");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(bj::parse(again.out), bj::array{});
    EXPECT_EQ(tt_test::run(bin() + " alerts -n 5 --unseen 2>/dev/null").status, 2);
}

// The ledger looks for the alerts library beside its own. Run a copy of this
// test in a child process whose tokentally libraries come from a directory
// without it: recording must still work there.
TEST(AlertsWithoutLibrary, RecordingStillWorks) {
    tt_test::Scratch s;
    std::filesystem::path libs = s.root + "/libs";
    std::filesystem::create_directories(libs);
    std::string build_libs = tokentally::paths::package_dir();
    for (const char* lib : {"libtokentally_core.so", "libtokentally_ledger.so"})
        std::filesystem::copy_file(build_libs + "/" + lib, libs / lib);
    s.write_config("[budgets]\ndaily = 0.0001\n");
    auto child = tt_test::run("TT_ALERTS_CHILD=" + libs.string() + " LD_LIBRARY_PATH=" + libs.string() + " /proc/" +
                              std::to_string(getpid()) + "/exe --gtest_filter=AlertsWithoutLibrary.ChildRecords 2>&1");
    EXPECT_EQ(child.status, 0) << child.out;
    EXPECT_NE(child.out.find("[  PASSED  ] 1 test"), std::string::npos) << child.out;
}

TEST(AlertsWithoutLibrary, ChildRecords) {
    const char* libs = std::getenv("TT_ALERTS_CHILD");
    if (libs == nullptr) GTEST_SKIP() << "runs as the child of RecordingStillWorks";
    // Proves the redirect took: otherwise the library would be found.
    ASSERT_EQ(tokentally::paths::package_dir(), libs);
    ledger::CallRecord rec;
    rec.model_id = "openai/gpt-4o";
    rec.cost_usd = 1.0;
    rec.elapsed_s = 0.5;
    rec.status = 200;
    EXPECT_NO_THROW(ledger::record_call(*ledger::make_writer(tt_test::store()), rec));
    const std::string db = tt_test::store()->location();
    EXPECT_EQ(tt_test::query(db, "SELECT id FROM calls").size(), 1u);
    EXPECT_EQ(tt_test::query(db, "SELECT name FROM sqlite_master WHERE name = 'alerts'").size(), 0u);
}
