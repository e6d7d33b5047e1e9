// The read-side tools on ledgers of 2k, 10k and 100k priced calls: one
// training run of the cost predictor, one prediction from the saved bundle,
// and one advisor pass. Training is the one that grows with the ledger
// (200 boosting rounds over 80 % of the rows), so each size is timed.
#include "tokentally/insight/advisor.hpp"
#include "tokentally/accounting/catalog.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/insight/predictor.hpp"

#include <SQLiteCpp/SQLiteCpp.h>
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>

namespace fs = std::filesystem;
namespace tt = tokentally;

namespace {

const fs::path ROOT = fs::temp_directory_path() / "tokentally-bench-predictor";

// A ledger of `rows` calls over four models, priced from the catalog and
// spread over the last 30 days; built once per size and reused.
fs::path _seeded(std::int64_t rows) {
    fs::path file = ROOT / ("ledger_" + std::to_string(rows) + ".db");
    if (fs::exists(file)) return file;
    fs::create_directories(ROOT);
    tt::store::open(file.string())->calls().init();
    SQLite::Database conn(file.string(), SQLite::OPEN_READWRITE);
    SQLite::Transaction tx(conn);
    SQLite::Statement insert(conn,
                             "INSERT INTO calls (ts, model_id, tag, session_id, prompt_tokens, completion_tokens, "
                             "cost_usd, elapsed_s, status, streamed) VALUES (?, ?, ?, 's-bench', ?, ?, ?, 1.0, 200, 0)");
    const char* models[] = {"openai/gpt-4o", "openai/gpt-4o-mini", "anthropic/claude-sonnet-4", "google/gemini-2.0-flash"};
    const char* tags[] = {"default", "search", "agent"};
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(0, 3), tag(0, 2), prompt(50, 4000);
    std::uniform_real_distribution<double> ratio(0.05, 1.0), age(0, 30 * 86400.0);
    double now = tt::store::now();
    for (std::int64_t i = 0; i < rows; ++i) {
        const char* model = models[pick(rng)];
        auto price = tt::catalog::get_model_price(model);
        std::int64_t p = prompt(rng);
        auto c = static_cast<std::int64_t>(std::max(1.0, p * ratio(rng)));
        insert.reset();
        insert.bind(1, now - age(rng));
        insert.bind(2, model);
        insert.bind(3, tags[tag(rng)]);
        insert.bind(4, p);
        insert.bind(5, c);
        insert.bind(6, p / 1e6 * tt::json::as_number(price.at("input"), "input") +
                           c / 1e6 * tt::json::as_number(price.at("output"), "output"));
        insert.exec();
    }
    tx.commit();
    return file;
}

std::shared_ptr<tt::store::Store> _use(std::int64_t rows) {
    tt::logging::set_level(spdlog::level::warn);
    tt::predictor::MODEL_PATH = (ROOT / ("model_" + std::to_string(rows) + ".pkl")).string();
    return tt::store::open(_seeded(rows).string());
}

void BM_Train(benchmark::State& state) {
    auto store = _use(state.range(0));
    for (auto _ : state)
        if (!tt::predictor::train(*store)) state.SkipWithError("training wrote no bundle");
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Train)->Arg(2'000)->Arg(10'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Train)->Arg(100'000)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Predict(benchmark::State& state) {
    auto store = _use(10'000);
    if (!fs::exists(tt::predictor::MODEL_PATH) && !tt::predictor::train(*store)) state.SkipWithError("no bundle");
    std::string prompt(2'000, 'x');
    for (auto _ : state) benchmark::DoNotOptimize(tt::predictor::predict("openai/gpt-4o", prompt, "search"));
}
BENCHMARK(BM_Predict)->Unit(benchmark::kMillisecond);

void BM_Advise(benchmark::State& state) {
    auto store = _use(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(tt::advisor::get_suggestions(*store, 24 * 30));
}
BENCHMARK(BM_Advise)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
