#include "tokentally/insight/reconcile.hpp"

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <unordered_map>

namespace tokentally::reconcile {

namespace bj = boost::json;

namespace {

constexpr std::int64_t DAY_SECONDS = 86'400;

// A ratio this close to a bound of the tolerance is within it: 0.97 is 3 %
// off, though 1 - 0.97 is a hair above 0.03 in binary.
constexpr double ROUNDING = 1e-9;

// The catalog's id of a ledger model, placed at `provider` when bare.
std::string _model_key(const std::string& model_id, const std::string& provider) {
    std::string id = catalog::normalize_model_id(model_id);
    return id.find('/') == std::string::npos ? provider + "/" + id : id;
}

billing::Tokens _tokens(const store::ModelDay& g) {
    return {g.calls, g.prompt_tokens, g.cache_read_tokens, g.cache_write_tokens, g.completion_tokens};
}

bool _outside(const DayLine& d, double tolerance) {
    if (d.ratio) return std::fabs(*d.ratio - 1.0) > tolerance + ROUNDING;
    return d.ledger_usd > 0;
}

std::vector<ModelLine> _model_lines(const billing::Day* ledger, const billing::Day* bill) {
    std::set<std::string> names;
    if (ledger != nullptr)
        for (const auto& [m, _] : ledger->models) names.insert(m);
    if (bill != nullptr)
        for (const auto& [m, _] : bill->models) names.insert(m);
    std::vector<ModelLine> lines;
    for (const auto& name : names) {
        ModelLine line{name, std::nullopt, std::nullopt};
        if (ledger != nullptr)
            if (auto it = ledger->models.find(name); it != ledger->models.end()) line.ledger = it->second;
        if (bill != nullptr)
            if (auto it = bill->models.find(name); it != bill->models.end()) line.provider = it->second;
        lines.push_back(std::move(line));
    }
    return lines;
}

template <class Map>
const typename Map::mapped_type* _at(const Map& m, const std::string& key) {
    auto it = m.find(key);
    return it == m.end() ? nullptr : &it->second;
}

// [reconcile] <provider>_admin_url, else the provider's own API.
std::string _base_url(const billing::Provider& p) {
    auto cfg = config::load_shared();
    const bj::value* url = json::table(*cfg, "reconcile").if_contains(p.url_setting);
    if (url == nullptr) return std::string(p.default_url);
    if (!url->is_string() || url->get_string().empty())
        throw std::runtime_error(fmt::format("reconcile.{} must be a URL, not {}", p.url_setting, json::write(*url)));
    return std::string(url->get_string());
}

std::optional<std::string> _key(const billing::Provider& p) {
    const char* key = std::getenv(std::string(p.key_variable).c_str());
    if (key == nullptr || *key == '\0') return std::nullopt;
    return std::string(key);
}

ProviderReport _report(const billing::Provider& p, const std::map<std::string, billing::Day>& ledger,
                       const billing::Window& w, const Options& o) {
    ProviderReport r;
    r.provider = p.name;
    auto key = _key(p);
    if (!key) {
        r.status = Status::skipped;
        r.message = fmt::format("{}: skipped: set {} to an organization admin key to compare with {}'s bill", p.name,
                                p.key_variable, p.label);
        return r;
    }
    try {
        billing::Bill bill = billing::fetch(p, _base_url(p), *key, w);
        r.tokens_error = bill.tokens_error;
        r.days = compare(ledger, bill, w, o.tolerance);
    } catch (const std::exception& e) {
        r.status = Status::failed;
        r.message = e.what();
    }
    return r;
}

bj::value _tokens_json(const std::optional<billing::Tokens>& t) {
    if (!t) return nullptr;
    return bj::object{{"requests", json::or_null(t->requests)},
                      {"input_tokens", t->input_tokens},
                      {"cache_read_tokens", t->cache_read_tokens},
                      {"cache_write_tokens", t->cache_write_tokens},
                      {"output_tokens", t->output_tokens}};
}

bj::object _day_json(const DayLine& d) {
    bj::array models;
    for (const auto& m : d.models)
        models.push_back(
            bj::object{{"model", m.model}, {"ledger", _tokens_json(m.ledger)}, {"provider", _tokens_json(m.provider)}});
    return {{"date", d.date},
            {"ledger_usd", d.ledger_usd},
            {"provider_usd", d.provider_usd},
            {"ratio", json::or_null(d.ratio)},
            {"partial", d.partial},
            {"marked", d.marked},
            {"note", d.marked ? bj::value(explanation(d)) : bj::value(nullptr)},
            {"models", std::move(models)}};
}

std::string_view _status_name(Status s) {
    switch (s) {
        case Status::ok:
            return "ok";
        case Status::skipped:
            return "skipped";
        case Status::failed:
            return "failed";
    }
    return "failed";
}

}  // namespace

billing::Window window(std::int64_t days, double now) {
    auto today = static_cast<std::int64_t>(std::floor(now / DAY_SECONDS)) * DAY_SECONDS;
    return {today - days * DAY_SECONDS, today + DAY_SECONDS};
}

std::map<std::string, std::map<std::string, billing::Day>> ledger_days(store::Store& store, double since) {
    std::map<std::string, std::map<std::string, billing::Day>> out;
    std::unordered_map<std::string, std::string> provider_of;  // each model placed once
    for (const store::ModelDay& g : store.calls().by_model_day(since)) {
        if (!g.model_id) continue;
        auto [it, fresh] = provider_of.try_emplace(*g.model_id);
        if (fresh) it->second = catalog::placed_provider(*g.model_id);
        const std::string& provider = it->second;
        if (!billing::provider(provider)) continue;
        billing::Day& day = out[provider][g.day];
        day.usd += g.cost;
        billing::add(day.models[_model_key(*g.model_id, provider)], _tokens(g));
    }
    return out;
}

std::vector<DayLine> compare(const std::map<std::string, billing::Day>& ledger, const billing::Bill& bill,
                             const billing::Window& w, double tolerance) {
    std::vector<DayLine> days;
    for (std::int64_t t = w.start; t < w.end; t += DAY_SECONDS) {
        DayLine d;
        d.date = billing::utc_date(t);
        d.partial = t + DAY_SECONDS >= w.end;
        const billing::Day* mine = _at(ledger, d.date);
        const billing::Day* theirs = _at(bill.days, d.date);
        d.ledger_usd = mine != nullptr ? mine->usd : 0.0;
        d.provider_usd = theirs != nullptr ? theirs->usd : 0.0;
        if (d.provider_usd != 0.0) d.ratio = d.ledger_usd / d.provider_usd;
        d.marked = !d.partial && _outside(d, tolerance);
        d.models = _model_lines(mine, theirs);
        days.push_back(std::move(d));
    }
    return days;
}

std::string explanation(const DayLine& day) {
    if (day.ratio && *day.ratio < 1.0)
        return "The ledger holds less than the provider billed: calls that bypass the proxy, streamed calls "
               "recorded without usage ([accounting] stream_usage), or models without prices "
               "(tokentally prices --missing).";
    return "The ledger holds more than the provider billed: its prices are above the provider's (an old or wrong "
           "price, a discount or credit on the bill), or the provider's figures for the day are not complete yet.";
}

std::vector<ProviderReport> run(store::Store& store, const Options& o) {
    billing::Window w = window(o.days, store::now());
    auto ledger = ledger_days(store, static_cast<double>(w.start));
    static const std::map<std::string, billing::Day> NONE;
    std::vector<ProviderReport> out;
    for (const billing::Provider& p : billing::PROVIDERS) {
        if (o.provider && *o.provider != p.name) continue;
        const auto* mine = _at(ledger, std::string(p.name));
        out.push_back(_report(p, mine != nullptr ? *mine : NONE, w, o));
    }
    return out;
}

int exit_status(const std::vector<ProviderReport>& report, const Options& o) {
    bool compared = false, marked = false;
    for (const auto& r : report) {
        if (r.status == Status::failed) return 1;
        if (r.status == Status::skipped && o.provider) return 1;
        if (r.status != Status::ok) continue;
        compared = true;
        for (const auto& d : r.days) marked = marked || d.marked;
    }
    if (!compared) return 1;
    return marked ? EXIT_OUTSIDE : EXIT_WITHIN;
}

bj::array to_json(const std::vector<ProviderReport>& report) {
    bj::array out;
    for (const auto& r : report) {
        bj::array days;
        for (const auto& d : r.days) days.push_back(_day_json(d));
        out.push_back(bj::object{{"provider", r.provider},
                                 {"status", _status_name(r.status)},
                                 {"message", json::or_null(r.message)},
                                 {"tokens_error", json::or_null(r.tokens_error)},
                                 {"days", std::move(days)}});
    }
    return out;
}

}  // namespace tokentally::reconcile
