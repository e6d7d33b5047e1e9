// `tokentally alerts`.
#include "cli/commands.hpp"
#include "cli/output.hpp"

#include "tokentally/base/json.hpp"
#include "tokentally/guards/alerts.hpp"
#include "tokentally/guards/webhook.hpp"

#include <cstdint>
#include <ctime>
#include <iostream>
#include <memory>
#include <stdexcept>

namespace tokentally::cli {

namespace {

namespace bj = boost::json;

struct AlertsOptions {
    std::int64_t n = 20;
    bool unseen = false;
    bool json = false;
    bool test_webhook = false;
};

// Local wall-clock time of an alert, to the second.
std::string _local_time(double ts) {
    std::time_t t = static_cast<std::time_t>(ts);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string _text(const bj::object& rec, std::string_view key) { return json::display(rec.if_contains(key)); }

void _print_alerts(const bj::array& alerts, bool unseen) {
    if (alerts.empty()) {
        std::cout << (unseen ? "No unseen alerts." : "No alerts.") << '\n';
        return;
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& v : alerts) {
        const bj::object& rec = v.as_object();
        rows.push_back({_local_time(json::as_number(rec.at("ts"), "alert ts")), _text(rec, "level"),
                        _text(rec, "scope"), _text(rec, "message")});
    }
    print_table({"time", "level", "scope", "message"}, rows);
}

// One try, no retries: the user is watching and learns the outcome at once.
void _test_webhook() {
    std::optional<webhook::Target> target = webhook::configured();
    if (!target)
        throw std::runtime_error(
            "no alert webhook configured: add webhook_url = \"https://...\" under [alerts] in "
            "~/.tokentally.toml");
    const webhook::Alert test{store::now(), "info", "test",
                              0.0,          0.0,    "tokentally test alert: budget alerts will arrive here"};
    try {
        webhook::post_now(*target, test);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("test alert not delivered: ") + e.what());
    }
    std::cout << "Test alert delivered to " << webhook::url_name(target->url) << '\n';
}

}  // namespace

void add_alerts_commands(CLI::App& app) {
    auto opts = std::make_shared<AlertsOptions>();
    auto* cmd = app.add_subcommand("alerts",
                                   "Show the latest budget alerts, or only the unseen ones, or test the alert webhook");
    auto* n = cmd->add_option("-n", opts->n, "How many of the latest alerts to show")
                  ->capture_default_str()
                  ->check(CLI::NonNegativeNumber);
    // Unseen alerts are all shown: a limit would mark alerts seen that the
    // user never got to read.
    cmd->add_flag("--unseen", opts->unseen, "Show only the alerts that no earlier --unseen showed, and mark them seen")
        ->excludes(n);
    auto* json = cmd->add_flag("--json", opts->json, "Print the alerts as one JSON array");
    cmd->add_flag("--test-webhook", opts->test_webhook,
                  "Send one test alert (level info, scope test) to [alerts] webhook_url; exit 0 when it arrived")
        ->excludes(n)
        ->excludes("--unseen")
        ->excludes(json);
    cmd->callback([opts] {
        if (opts->test_webhook) return _test_webhook();
        auto store = open_store();
        bj::array alerts =
            opts->unseen ? alerts::get_unseen_alerts(*store) : alerts::get_recent_alerts(*store, opts->n);
        if (opts->json)
            print_json(alerts);
        else
            _print_alerts(alerts, opts->unseen);
    });
}

}  // namespace tokentally::cli
