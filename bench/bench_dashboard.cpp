// One dashboard refresh without the terminal: the configuration, the four
// ledger reads and every text of the screen, on ledgers of 10k and 1M rows.
// The reads are most of it, so the data step alone is measured apart.
#include "seed.hpp"

#include "tokentally/views/tui.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
namespace tui = tokentally::tui;

namespace {

const fs::path ROOT = fs::temp_directory_path() / "tokentally-bench-dashboard";

// The refresh only reads, so the seeded file is used in place.
std::shared_ptr<tokentally::store::Store> _use_ledger(std::int64_t rows) {
    return tokentally::store::open(tt_bench::seeded_ledger(ROOT, rows).string());
}

void BM_refresh(benchmark::State& state) {
    auto store = _use_ledger(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(tui::compute_refresh(*store));
}

void BM_refresh_texts_only(benchmark::State& state) {
    auto inputs = tui::read_inputs(*_use_ledger(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(tui::build_refresh(inputs, tokentally::store::now()));
}

}  // namespace

BENCHMARK(BM_refresh)->Arg(10'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_refresh_texts_only)->Arg(10'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    fs::create_directories(ROOT / "home");
    setenv("HOME", (ROOT / "home").c_str(), 1);
    std::ofstream(ROOT / "home" / ".tokentally.toml") << "[budgets]\nmonthly = 100.0\n";
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
