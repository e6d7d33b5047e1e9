// `tokentally prices` and `tokentally prices import`.
#include "cli/commands.hpp"
#include "cli/output.hpp"

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/accounting/prices.hpp"
#include "tokentally/base/paths.hpp"
#include "tokentally/http/client.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/views/tui.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <filesystem>
#include <iostream>
#include <memory>

namespace tokentally::cli {

namespace {

namespace bj = boost::json;

// The window --missing looks back over.
constexpr double MISSING_WINDOW_HOURS = 30 * 24.0;

// How long a price list download may take.
constexpr std::chrono::seconds DOWNLOAD_TIMEOUT{60};

struct PricesOptions {
    bool json = false;
    bool missing = false;
    std::string source;
    bool skip_invalid = false;
};

std::string _cell(const std::optional<double>& v) { return v ? fmt::format("{}", *v) : "—"; }

// Every cache price is shown, null when there is none; the tiers only on
// models that have them.
bj::object _price_record(const std::string& id, const prices::Price& p) {
    bj::object record{{"model_id", id}};
    for (auto& member : prices::to_json(p, true)) record.emplace(member.key(), member.value());
    record["source"] = p.source;
    return record;
}

// "2.5 / 15 (cache read 0.25)": a tier's prices in a line of text.
std::string _rates_text(const prices::Rates& r) {
    std::string text = fmt::format("{} / {}", r.input, r.output);
    std::vector<std::string> cache;
    if (r.cache_read) cache.push_back(fmt::format("cache read {}", *r.cache_read));
    if (r.cache_write) cache.push_back(fmt::format("cache write {}", *r.cache_write));
    if (r.cache_write_1h) cache.push_back(fmt::format("1-hour cache write {}", *r.cache_write_1h));
    if (!cache.empty()) text += " (" + fmt::format("{}", fmt::join(cache, ", ")) + ")";
    return text;
}

// Under the table, one line per tier of each model that has tiers.
void _print_tiers(const prices::List& all) {
    std::vector<std::string> lines;
    for (const auto& [id, p] : all) {
        for (const auto& t : p.long_context)
            lines.push_back(fmt::format("  {}: above {} prompt tokens, {}", id, tui::fmt_int(bj::value(t.above)),
                                        _rates_text(t.rates)));
        if (p.flex) lines.push_back(fmt::format("  {}: flex, {}", id, _rates_text(*p.flex)));
        if (p.priority) lines.push_back(fmt::format("  {}: priority, {}", id, _rates_text(*p.priority)));
    }
    if (lines.empty()) return;
    std::cout << "\nLong-context tiers (the whole call, input plus cache reads and writes above the threshold) and "
                 "listed service tiers (otherwise flex is billed at half the price):\n";
    for (const auto& line : lines) std::cout << line << '\n';
}

// An imported list that cannot be used is left out of pricing (calls must
// not fail on it); here it is said why.
void _warn_unusable_import() {
    try {
        prices::load_shared(prices::path());
    } catch (const std::exception& e) {
        std::cerr << "tokentally: imported prices left out: " << e.what() << '\n';
    }
}

void _print_prices(bool as_json) {
    _warn_unusable_import();
    prices::List all = catalog::all_prices();
    if (as_json) {
        bj::array out;
        for (const auto& [id, p] : all) out.push_back(_price_record(id, p));
        print_json(out);
        return;
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& [id, p] : all)
        rows.push_back({id, _cell(p.input), _cell(p.output), _cell(p.cache_read), _cell(p.cache_write),
                        _cell(p.cache_write_1h), p.source});
    print_table({"Model", "Input", "Output", "Cache read", "Cache write", "Cache write 1h", "Source"}, rows,
                {1, 2, 3, 4, 5});
    _print_tiers(all);
    std::cout << "\nUSD per million tokens. Built-in prices as of " << catalog::PRICES_AS_OF;
    std::error_code unseen;
    if (std::filesystem::exists(prices::path(), unseen)) std::cout << "; imported prices from " << prices::path();
    std::cout << ".\n";
}

void _print_missing(bool as_json) {
    bj::array missing;
    for (const auto& v : ledger::model_calls(*open_store(), MISSING_WINDOW_HOURS)) {
        const bj::object& row = v.as_object();
        const bj::value& model = row.at("model_id");
        if (model.is_string() && catalog::unpriced(model.get_string()))
            missing.push_back(bj::object{{"model_id", row.at("model_id")}, {"calls", row.at("calls")}});
    }
    if (as_json) {
        print_json(missing);
        return;
    }
    if (missing.empty()) {
        std::cout << "Every model called in the last 30 days has a price.\n";
        return;
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& v : missing)
        rows.push_back(
            {std::string(v.at("model_id").as_string()), std::to_string(v.at("calls").to_number<std::int64_t>())});
    print_table({"Model", "Calls"}, rows, {1});
}

bool _is_url(const std::string& source) { return source.starts_with("http://") || source.starts_with("https://"); }

// The text of a price list downloaded with the proxy's own client.
std::string _download(const std::string& url) {
    http::ClientResponse res = http::fetch_now({"GET", url, {{"Accept", "application/json"}}, ""}, DOWNLOAD_TIMEOUT);
    if (res.status != 200)
        throw std::runtime_error("GET " + http::redact_url(url) + " answered " + std::to_string(res.status));
    return res.body;
}

void _import(const PricesOptions& o) {
    std::string text = _is_url(o.source) ? _download(o.source) : paths::read_file(o.source);
    std::string shown = _is_url(o.source) ? http::redact_url(o.source) : o.source;
    std::vector<std::string> invalid;
    std::size_t n = catalog::import_prices(text, shown, o.skip_invalid ? &invalid : nullptr);
    std::cout << "Imported the prices of " << n << " models from " << shown << " into " << prices::path() << ".\n";
    if (invalid.empty()) return;
    std::cerr << "Left out " << invalid.size() << " entries that are not valid:\n";
    for (const auto& why : invalid) std::cerr << "  " << why << '\n';
}

}  // namespace

void add_prices_commands(CLI::App& app) {
    auto o = std::make_shared<PricesOptions>();
    auto* cmd = app.add_subcommand(
        "prices",
        "The effective price of every known model and where it comes from (configuration, imported, built-in)");
    cmd->add_flag("--json", o->json, "Print the prices as one JSON array");
    cmd->add_flag("--missing", o->missing, "List the models of the last 30 days of the ledger that have no price");
    auto* import = cmd->add_subcommand(
        "import",
        "Store a price list (our JSON shape or the shared community catalog, its text and embedding models with "
        "their long-context and service tiers) as prices.json beside ledger.db");
    import->add_option("SOURCE", o->source, "A file, or an http(s) URL fetched with the proxy's client")->required();
    import->add_flag("--skip-invalid", o->skip_invalid,
                     "Leave out entries that are not valid (and list them) instead of refusing the whole list");
    import->callback([o] { _import(*o);
});
cmd->callback([o, import] {
    if (import->parsed()) return;
    if (o->missing)
        _print_missing(o->json);
    else
        _print_prices(o->json);
});
}  // namespace tokentally::cli

}  // namespace tokentally::cli
