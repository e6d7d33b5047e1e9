// `tokentally reconcile`: the ledger against the providers' own bills.
#include "cli/commands.hpp"
#include "cli/output.hpp"

#include "tokentally/insight/reconcile.hpp"
#include "tokentally/views/tui.hpp"

#include <fmt/format.h>

#include <iostream>
#include <memory>

namespace tokentally::cli {

namespace {

namespace bj = boost::json;

struct ReconcileOptions {
    reconcile::Options o;
    std::string provider;
    bool json = false;
};

std::string _count(std::int64_t n) { return tui::fmt_int(bj::value(n)); }

// "1,200 in (800 cache read), 300 out, 3 calls"; "—" for a side without any.
std::string _tokens_text(const std::optional<billing::Tokens>& t, std::string_view calls) {
    if (!t) return "—";
    std::string text = _count(t->input_tokens) + " in";
    std::vector<std::string> cache;
    if (t->cache_read_tokens != 0) cache.push_back(_count(t->cache_read_tokens) + " cache read");
    if (t->cache_write_tokens != 0) cache.push_back(_count(t->cache_write_tokens) + " cache write");
    if (!cache.empty()) text += " (" + fmt::format("{}", fmt::join(cache, ", ")) + ")";
    text += ", " + _count(t->output_tokens) + " out";
    if (t->requests) text += fmt::format(", {} {}", _count(*t->requests), calls);
    return text;
}

std::string _ratio_text(const std::optional<double>& ratio) {
    return ratio ? fmt::format("{:.1f}%", *ratio * 100.0) : "—";
}

std::string _day_state(const reconcile::DayLine& d, double tolerance) {
    if (d.partial) return "  partial (today)";
    return d.marked ? fmt::format("  OUTSIDE ±{:g}%", tolerance * 100.0) : "";
}

void _print_provider(const reconcile::ProviderReport& r, double tolerance) {
    std::cout << fmt::format("{}: the ledger against the bill (capture = ledger ÷ provider)\n", r.provider);
    std::cout << fmt::format("  {:<10}  {:>12}  {:>12}  {:>8}\n", "Date (UTC)", "Ledger $", "Provider $", "Capture");
    for (const auto& d : r.days) {
        std::cout << fmt::format("  {:<10}  {:>12.6f}  {:>12.6f}  {:>8}{}\n", d.date, d.ledger_usd, d.provider_usd,
                                 _ratio_text(d.ratio), _day_state(d, tolerance));
        if (d.marked) std::cout << "      " << reconcile::explanation(d) << '\n';
        if (r.tokens_error) continue;
        for (const auto& m : d.models)
            std::cout << fmt::format("      {}: ledger {}; provider {}\n", m.model, _tokens_text(m.ledger, "calls"),
                                     _tokens_text(m.provider, "requests"));
    }
    if (r.tokens_error) std::cout << "  Tokens per model are not shown: " << *r.tokens_error << '\n';
    std::cout << '\n';
}

void _reconcile(const ReconcileOptions& opts) {
    reconcile::Options o = opts.o;
    if (!opts.provider.empty()) o.provider = opts.provider;
    auto report = reconcile::run(*open_store(), o);
    // Skipped and failed providers are told on stderr in both forms, so
    // that a cron job's mail shows them.
    for (const auto& r : report)
        if (r.message) std::cerr << "tokentally: " << *r.message << '\n';
    if (opts.json) {
        print_json(reconcile::to_json(report));
    } else {
        for (const auto& r : report)
            if (r.status == reconcile::Status::ok) _print_provider(r, o.tolerance);
    }
    int status = reconcile::exit_status(report, o);
    if (status != 0) throw ExitStatus{status};
}

}  // namespace

void add_reconcile_commands(CLI::App& app) {
    auto opts = std::make_shared<ReconcileOptions>();
    auto* cmd = app.add_subcommand(
        "reconcile",
        "Compare the ledger's spend per provider and UTC day with the provider's own bill, read from its admin API "
        "(OPENAI_ADMIN_KEY, ANTHROPIC_ADMIN_KEY). Exit 0 when every complete day is within the tolerance, 3 when "
        "one is not, 1 on an error");
    cmd->add_option("--days", opts->o.days, "Complete UTC days before today to compare (today is shown as partial)")
        ->capture_default_str()
        ->check(CLI::Range(1, 366));
    cmd->add_option("--provider", opts->provider, "Only this provider; without it, every provider with a key")
        ->check(CLI::IsMember({"openai", "anthropic"}));
    cmd->add_option("--tolerance", opts->o.tolerance,
                    "A day is marked when its capture rate (ledger ÷ provider) is outside 1 ± this")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
    cmd->add_flag("--json", opts->json, "Print one JSON array: a record per provider with its days");
    cmd->callback([opts] { _reconcile(*opts); });
}

}  // namespace tokentally::cli
