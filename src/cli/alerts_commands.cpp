// `tokentally alerts`.
#include "cli/commands.hpp"
#include "cli/output.hpp"

#include "tokentally/guards/alerts.hpp"
#include "tokentally/base/json.hpp"

#include <cstdint>
#include <ctime>
#include <iostream>
#include <memory>

namespace tokentally::cli {

namespace {

namespace bj = boost::json;

struct _AlertsOptions {
    std::int64_t n = 20;
    bool unseen = false;
    bool json = false;
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

}  // namespace

void add_alerts_commands(CLI::App& app) {
    auto opts = std::make_shared<_AlertsOptions>();
    auto* cmd = app.add_subcommand("alerts", "Show the latest budget alerts, or only the unseen ones");
    auto* n = cmd->add_option("-n", opts->n, "How many of the latest alerts to show")
                  ->capture_default_str()
                  ->check(CLI::NonNegativeNumber);
    // Unseen alerts are all shown: a limit would mark alerts seen that the
    // user never got to read.
    cmd->add_flag("--unseen", opts->unseen, "Show only the alerts that no earlier --unseen showed, and mark them seen")
        ->excludes(n);
    cmd->add_flag("--json", opts->json, "Print the alerts as one JSON array");
    cmd->callback([opts] {
        auto store = open_store();
        bj::array alerts =
            opts->unseen ? alerts::get_unseen_alerts(*store) : alerts::get_recent_alerts(*store, opts->n);
        if (opts->json) print_json(alerts);
        else _print_alerts(alerts, opts->unseen);
    });
}

}  // namespace tokentally::cli
