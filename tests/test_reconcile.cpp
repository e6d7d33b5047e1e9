// `tokentally reconcile` through the built binary, against local mocks of
// OpenAI's and Anthropic's admin APIs and a ledger seeded over several UTC
// days: the figures of both sides per provider and day, paging, the exit
// status for cron, and failures that name the provider and never the key.
#include "support/mock_server.hpp"
#include "support/scratch.hpp"
#include "tokentally/store/store.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/url/parse.hpp>

#include <cmath>
#include <ctime>
#include <map>

namespace {

namespace bj = boost::json;
using ::testing::HasSubstr;
using ::testing::Not;
using tt_test::MockReply;
using tt_test::MockServer;
using tt_test::Received;

constexpr std::int64_t DAY = 86'400;
const std::string OPENAI_KEY = "sk-admin-openai-secret";
const std::string ANTHROPIC_KEY = "sk-ant-admin-secret";

std::string bin() { return std::getenv("TOKENTALLY_BIN"); }

std::string date_of(std::int64_t t) {
    auto tt = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

std::int64_t from_date(const std::string& rfc3339) {
    std::tm tm{};
    strptime(rfc3339.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    return static_cast<std::int64_t>(timegm(&tm));
}

std::map<std::string, std::string> params(const std::string& target) {
    std::map<std::string, std::string> out;
    auto u = boost::urls::parse_origin_form(target);
    if (!u) throw std::runtime_error("not a request target: " + target);
    for (auto p : u->params()) out[std::string(p.key)] = std::string(p.value);
    return out;
}

// Anthropic's amounts: cents, as decimal text.
std::string cents(double usd) { return std::to_string(usd * 100); }

MockReply json(int status, const bj::value& body) {
    MockReply r;
    r.status = status;
    r.body = bj::serialize(body);
    return r;
}

// What a provider billed and used, by UTC date.
struct Billed {
    std::map<std::string, double> usd;
    std::map<std::string, std::int64_t> gpt4o_input;  // OpenAI: gpt-4o's input tokens
};

// The answer of one page: the window's buckets, the first two on the first
// page and the rest on a second one.
bj::object paged(const std::map<std::string, std::string>& q, bj::array buckets) {
    bool second = q.contains("page");
    if (second && q.at("page") != "page two/2") return {{"data", bj::array{}}, {"has_more", false}};
    bj::array mine;
    for (std::size_t i = second ? 2 : 0; i < buckets.size() && (second || i < 2); ++i) mine.push_back(buckets[i]);
    bool more = !second && buckets.size() > 2;
    return {{"data", mine}, {"has_more", more}, {"next_page", more ? bj::value("page two/2") : bj::value(nullptr)}};
}

// OpenAI's organization costs and completions usage.
MockReply openai(const Received& r, const Billed& b) {
    const std::string* auth = r.header("Authorization");
    if (auth == nullptr || *auth != "Bearer " + OPENAI_KEY)
        return json(401, bj::parse(R"({"error": {"message": "Incorrect API key provided: sk-admi***cret"}})"));
    auto q = params(r.target);
    bj::array buckets;
    for (std::int64_t t = std::stoll(q.at("start_time")); t < std::stoll(q.at("end_time")); t += DAY) {
        std::string d = date_of(t);
        bj::array results;
        if (r.target.starts_with("/v1/organization/costs")) {
            if (b.usd.contains(d)) {
                // Two line items a day, in dollars.
                results.push_back(bj::object{{"amount", {{"value", b.usd.at(d) / 2}, {"currency", "usd"}}}});
                results.push_back(bj::object{{"amount", {{"value", b.usd.at(d) / 2}, {"currency", "usd"}}}});
            }
        } else if (b.gpt4o_input.contains(d)) {
            results.push_back(bj::object{{"model", "gpt-4o-2024-08-06"},
                                         {"input_tokens", b.gpt4o_input.at(d)},
                                         {"input_cached_tokens", 0},
                                         {"output_tokens", 40},
                                         {"num_model_requests", 2}});
        }
        buckets.push_back(
            bj::object{{"object", "bucket"}, {"start_time", t}, {"end_time", t + DAY}, {"results", results}});
    }
    return json(200, paged(q, std::move(buckets)));
}

// Anthropic's cost report (amounts in cents, as text) and messages usage.
MockReply anthropic(const Received& r, const Billed& b) {
    const std::string* key = r.header("x-api-key");
    const std::string* version = r.header("anthropic-version");
    if (key == nullptr || *key != ANTHROPIC_KEY || version == nullptr || *version != "2023-06-01")
        return json(403, bj::object{{"error", "forbidden"}});
    auto q = params(r.target);
    bj::array buckets;
    for (std::int64_t t = from_date(q.at("starting_at")); t < from_date(q.at("ending_at")); t += DAY) {
        std::string d = date_of(t);
        bj::array results;
        if (r.target.starts_with("/v1/organizations/cost_report")) {
            if (b.usd.contains(d)) results.push_back(bj::object{{"amount", cents(b.usd.at(d))}, {"currency", "USD"}});
        } else {
            results.push_back(
                bj::object{{"model", "claude-sonnet-4-5-20250929"},
                           {"uncached_input_tokens", 100},
                           {"cache_read_input_tokens", 50},
                           {"cache_creation", {{"ephemeral_5m_input_tokens", 5}, {"ephemeral_1h_input_tokens", 1}}},
                           {"output_tokens", 20}});
        }
        buckets.push_back(bj::object{
            {"starting_at", d + "T00:00:00Z"}, {"ending_at", date_of(t + DAY) + "T00:00:00Z"}, {"results", results}});
    }
    return json(200, paged(q, std::move(buckets)));
}

class Reconcile : public ::testing::Test {
protected:
    tt_test::Scratch s;
    const std::int64_t today = static_cast<std::int64_t>(std::floor(tokentally::store::now() / DAY)) * DAY;
    Billed openai_bill, anthropic_bill;
    MockServer openai_api{[this](const Received& r) { return openai(r, openai_bill); }};
    MockServer anthropic_api{[this](const Received& r) { return anthropic(r, anthropic_bill); }};

    std::string day(int days_ago) const { return date_of(today - days_ago * DAY); }

    void seed(const std::string& model, int days_ago, double cost, std::int64_t prompt = 100) {
        tokentally::store::CallRecord rec{.model_id = model,
                                          .prompt_tokens = prompt,
                                          .completion_tokens = 20,
                                          .cost_usd = cost,
                                          .elapsed_s = 0.1,
                                          .status = 200,
                                          .ts = static_cast<double>(today - days_ago * DAY + 60)};
        const tokentally::store::CallRecord* rows[] = {&rec};
        tt_test::store()->calls().append(rows);
    }

    // Three complete days and today on both sides; every complete day
    // within 3 %. Bare and prefixed ids count for their provider, other
    // providers' calls for none.
    void SetUp() override {
        s.write_config("[reconcile]\nopenai_admin_url = \"" + openai_api.url() + "\"\nanthropic_admin_url = \"" +
                       anthropic_api.url() + "/\"\n");
        seed("openai/gpt-4o", 3, 1.0, 300);
        seed("gpt-4o-mini", 3, 0.5);
        seed("gpt-4o", 2, 2.0);
        seed("openai/gpt-4o-2024-08-06", 1, 1.0);
        seed("gpt-4o", 0, 0.25);
        seed("claude-sonnet-4-5", 3, 0.75);
        seed("anthropic/claude-3-haiku", 2, 1.25);
        seed("claude-sonnet-4-5-20250929", 1, 0.5);
        seed("google/gemini-2.0-flash", 1, 9.0);
        seed("ollama/llama3", 1, 9.0);
        openai_bill.usd = {{day(3), 1.5}, {day(2), 2.0}, {day(1), 1.02}, {day(0), 4.0}};
        openai_bill.gpt4o_input = {{day(3), 320}};
        anthropic_bill.usd = {{day(3), 0.75}, {day(2), 1.25}, {day(1), 0.5}};
    }

    tt_test::CommandResult reconcile(const std::string& args, const std::string& env = "") {
        return tt_test::run(env + " " + bin() + " reconcile --days 3 " + args + " 2>&1");
    }
    std::string both_keys() const { return "OPENAI_ADMIN_KEY=" + OPENAI_KEY + " ANTHROPIC_ADMIN_KEY=" + ANTHROPIC_KEY; }
    bj::array report(const tt_test::CommandResult& r) { return bj::parse(r.out.substr(r.out.find('['))).as_array(); }
};

const bj::object& provider_of(const bj::array& report, const std::string& name) {
    for (const auto& p : report)
        if (p.at("provider") == name.c_str()) return p.as_object();
    throw std::runtime_error("no " + name + " in the report");
}

TEST_F(Reconcile, EachProviderAndDayComparesTheLedgerWithTheBillAcrossPages) {
    auto r = reconcile("--json", both_keys());
    ASSERT_EQ(r.status, 0) << r.out;
    auto all = report(r);
    ASSERT_EQ(all.size(), 2u);

    const auto& o = provider_of(all, "openai");
    EXPECT_EQ(o.at("status"), "ok");
    const auto& days = o.at("days").as_array();
    ASSERT_EQ(days.size(), 4u) << "three complete days, then today";
    EXPECT_EQ(days[0].at("date"), day(3).c_str());
    EXPECT_EQ(days[0].at("ledger_usd").as_double(), 1.5);
    EXPECT_EQ(days[0].at("provider_usd").as_double(), 1.5) << "both line items of the day";
    EXPECT_EQ(days[0].at("ratio").as_double(), 1.0);
    EXPECT_EQ(days[2].at("provider_usd").as_double(), 1.02) << "from the second page";
    EXPECT_DOUBLE_EQ(days[2].at("ratio").as_double(), 1.0 / 1.02);
    EXPECT_EQ(days[2].at("marked"), false);
    EXPECT_EQ(days[2].at("ledger_usd").as_double(), 1.0) << "Google's and local calls are nobody's here";
    EXPECT_EQ(days[3].at("partial"), true);
    EXPECT_EQ(days[3].at("marked"), false) << "today is never marked, whatever its rate";
    EXPECT_EQ(days[3].at("ratio").as_double(), 0.0625);
    // gpt-4o on both sides, under the catalog's id; gpt-4o-mini only in the ledger.
    const auto& models = days[0].at("models").as_array();
    ASSERT_EQ(models.size(), 2u);
    EXPECT_EQ(models[0].at("model"), "openai/gpt-4o");
    EXPECT_EQ(models[0].at("ledger").at("input_tokens"), 300);
    EXPECT_EQ(models[0].at("provider").at("input_tokens"), 320);
    EXPECT_EQ(models[0].at("provider").at("requests"), 2);
    EXPECT_TRUE(models[1].at("provider").is_null());

    const auto& a = provider_of(all, "anthropic").at("days").as_array();
    EXPECT_EQ(a[1].at("provider_usd").as_double(), 1.25) << "cents converted";
    EXPECT_EQ(a[1].at("ratio").as_double(), 1.0);
    EXPECT_EQ(a[2].at("ledger_usd").as_double(), 0.5) << "a dated bare id counts";
    const auto& claude = a[0].at("models").as_array()[0];
    EXPECT_EQ(claude.at("model"), "anthropic/claude-sonnet-4.5");
    EXPECT_EQ(claude.at("provider").at("cache_write_tokens"), 6);

    // Every request carried its key in a header, never in the URL, and the
    // second pages were asked for.
    int second_pages = 0;
    for (const auto* api : {&openai_api, &anthropic_api})
        for (const auto& req : api->received()) {
            EXPECT_THAT(req.target, Not(HasSubstr("secret")));
            second_pages += req.target.find("page=page%20two%2F2") != std::string::npos;
        }
    EXPECT_EQ(second_pages, 4) << "costs and usage of both providers";
    bool by_model = false;
    for (const auto& req : anthropic_api.received()) by_model = by_model || params(req.target)["group_by[]"] == "model";
    EXPECT_TRUE(by_model);

    auto table = reconcile("", both_keys());
    EXPECT_EQ(table.status, 0) << table.out;
    EXPECT_THAT(table.out, HasSubstr("partial (today)"));
    EXPECT_THAT(table.out,
                HasSubstr("openai/gpt-4o: ledger 300 in, 20 out, 1 calls; provider 320 in, 40 out, 2 requests"));
    EXPECT_THAT(table.out, Not(HasSubstr("secret")));
}

TEST_F(Reconcile, ADayOutsideTheToleranceIsMarkedAndExitsThree) {
    openai_bill.usd[day(1)] = 2.0;     // the ledger holds half: calls went around the proxy
    anthropic_bill.usd[day(2)] = 1.0;  // the ledger holds more than the bill
    auto r = reconcile("--json", both_keys());
    EXPECT_EQ(r.status, 3) << r.out;
    auto all = report(r);
    const auto& low = provider_of(all, "openai").at("days").as_array()[2];
    EXPECT_EQ(low.at("marked"), true);
    EXPECT_EQ(low.at("ratio").as_double(), 0.5);
    EXPECT_THAT(std::string(low.at("note").as_string()), HasSubstr("bypass the proxy"));
    const auto& high = provider_of(all, "anthropic").at("days").as_array()[1];
    EXPECT_EQ(high.at("marked"), true);
    EXPECT_THAT(std::string(high.at("note").as_string()), HasSubstr("prices are above the provider's"));

    auto table = reconcile("--provider openai", both_keys());
    EXPECT_EQ(table.status, 3);
    EXPECT_THAT(table.out, HasSubstr("OUTSIDE ±3%"));
    EXPECT_EQ(reconcile("--tolerance 0.6 --json", both_keys()).status, 0);
}

TEST_F(Reconcile, FailuresExitOneNamingTheProviderAndNeverTheKey) {
    // Without a key a provider is skipped; named with --provider it is an error.
    auto skipped = reconcile("--json", "OPENAI_ADMIN_KEY=" + OPENAI_KEY + " ANTHROPIC_ADMIN_KEY=");
    EXPECT_EQ(skipped.status, 0) << skipped.out;
    EXPECT_THAT(skipped.out, HasSubstr("anthropic: skipped: set ANTHROPIC_ADMIN_KEY"));
    auto named = reconcile("--provider anthropic", "OPENAI_ADMIN_KEY=" + OPENAI_KEY + " ANTHROPIC_ADMIN_KEY=");
    EXPECT_EQ(named.status, 1);
    EXPECT_THAT(named.out, HasSubstr("ANTHROPIC_ADMIN_KEY"));
    EXPECT_EQ(reconcile("", "OPENAI_ADMIN_KEY= ANTHROPIC_ADMIN_KEY=").status, 1) << "nothing to compare";

    // A key the API refuses: not an admin key. OpenAI's refusal quotes part
    // of it; none of it is repeated.
    auto refused = reconcile("--provider openai", "OPENAI_ADMIN_KEY=sk-project-secret");
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.out, HasSubstr("openai: OpenAI's admin API refused the key in OPENAI_ADMIN_KEY (401)"));
    EXPECT_THAT(refused.out, Not(HasSubstr("secret")));
    EXPECT_THAT(refused.out, Not(HasSubstr("sk-admi")));

    // One provider unreachable, the other reported: what could be is printed.
    tt_test::RefusingPort gone;
    std::string closed = gone.url();
    s.write_config("[reconcile]\nopenai_admin_url = \"" + openai_api.url() + "\"\nanthropic_admin_url = \"" + closed +
                   "\"\n");
    auto half = reconcile("--json", both_keys());
    EXPECT_EQ(half.status, 1) << half.out;
    EXPECT_THAT(half.out, HasSubstr("anthropic: cannot reach Anthropic's admin API at " + closed));
    EXPECT_THAT(half.out, Not(HasSubstr("secret")));
    auto all = report(half);
    EXPECT_EQ(provider_of(all, "openai").at("days").as_array().size(), 4u);
    EXPECT_EQ(provider_of(all, "anthropic").at("status"), "failed");
}

}  // namespace
