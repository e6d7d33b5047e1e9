// The per-call work of the proxy on ledgers of 0, 100k and 1M rows:
// recording a call (with its alert step, reading the spend kept in memory),
// the budget block read from that spend, strict mode's hold and the
// exact-match cache. The figure that matters is how each grows with the
// ledger, so every size runs in the same invocation. BM_budget_block sums
// the windows in the ledger instead: what a command run once does (it
// reads the whole month, so it grows with the ledger by design).
#include "seed.hpp"

#include "tokentally/guards/budget.hpp"
#include "tokentally/guards/spend_state.hpp"
#include "tokentally/ledger/ledger.hpp"
#include "tokentally/proxy/call.hpp"
#include "tokentally/proxy/exact_cache.hpp"
#include "tokentally/proxy/proxy.hpp"
#include "tokentally/proxy/stages.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
namespace ledger = tokentally::ledger;
namespace proxy = tokentally::proxy;
namespace spend_state = tokentally::spend_state;

namespace {

const fs::path ROOT = fs::temp_directory_path() / "tokentally-bench";

fs::path _seeded(std::int64_t rows) { return tt_bench::seeded_ledger(ROOT, rows); }

const fs::path LEDGER = ROOT / "data" / "ledger.db";

// The store on a copy of the seeded ledger of `rows` calls.
std::shared_ptr<tokentally::store::Store> _use_ledger(std::int64_t rows) {
    // A new file (new inode), as a user replacing the ledger would make it.
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(LEDGER.string() + suffix);
    fs::copy_file(_seeded(rows), LEDGER);
    // The copy's dirty pages written back now, not by the first checkpoint
    // of the timed loop (which waits for them: tens of ms at 1M rows).
    ::sync();
    return tokentally::store::open(LEDGER.string());
}

void _setup() {
    fs::create_directories(ROOT / "home");
    fs::create_directories(ROOT / "data");
    setenv("HOME", (ROOT / "home").c_str(), 1);
    setenv("TOKENTALLY_DATA_DIR", (ROOT / "data").c_str(), 1);
    // Budgets high enough never to refuse, so every window and the tag are
    // checked on every call, as on a configured machine.
    std::ofstream(ROOT / "home" / ".tokentally.toml")
        << "[budgets]\nhourly = 1000.0\ndaily = 5000.0\nmonthly = 100000.0\n"
           "[budgets.tags.tag1]\ndaily = 1000.0\n";
    // A configuration written less than two seconds ago is read again on
    // every call (its time stamp cannot yet tell a later edit apart); a
    // configured machine has an older file, so the runs start after that.
    std::this_thread::sleep_for(std::chrono::seconds(3));
}

ledger::CallRecord _call() {
    ledger::CallRecord rec;
    rec.model_id = "openai/gpt-4o";
    rec.tag = "tag1";
    rec.session_id = "s-bench";
    rec.prompt_tokens = 120;
    rec.completion_tokens = 40;
    rec.cost_usd = 0.0007;
    rec.elapsed_s = 0.8;
    rec.status = 200;
    return rec;
}

// Calls recorded before a benchmark's timing starts.
constexpr int WARM_CALLS = 2000;

// What `serve` does: the writer's spend in memory (loaded by the first call)
// takes each row in, and the alert step reads its windows there.
void BM_record_call(benchmark::State& state) {
    auto writer = ledger::make_writer(_use_ledger(state.range(0)));
    auto rec = _call();
    // Warmed up: the first calls after the load pay for it settling (the
    // page cache, the log's first checkpoints), a cost of the start that
    // the empty ledger does not have.
    for (int i = 0; i < WARM_CALLS; ++i) ledger::record_call(*writer, rec);
    for (auto _ : state) ledger::record_call(*writer, rec);
}

void BM_budget_block(benchmark::State& state) {
    auto store = _use_ledger(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(tokentally::budget::refusal(*store, "tag1"));
}

const boost::json::object BODY{{"model", "openai/gpt-4o"},
                               {"messages", boost::json::array{{{"role", "user"}, {"content", "hello"}}}}};
const boost::json::object PRICE{{"input", 2.5}, {"output", 10.0}};

void BM_budget_block_in_memory(benchmark::State& state) {
    auto spend = spend_state::make(_use_ledger(state.range(0)));
    tokentally::budget::admit(spend, "tag1", std::nullopt, BODY, PRICE);
    for (auto _ : state) benchmark::DoNotOptimize(tokentally::budget::admit(spend, "tag1", std::nullopt, BODY, PRICE));
}

// Strict mode's extra work: the call's worst case, and holding it under the
// lock that reads the two windows, then letting it go.
void BM_strict_hold(benchmark::State& state) {
    auto spend = spend_state::make(_use_ledger(state.range(0)));
    double now = tokentally::store::now();
    const tokentally::store::SpendWindow windows[] = {{now - 86400, std::nullopt}, {now - 86400, "tag1"}};
    auto admit = [](auto) { return true; };
    spend_state::spend_since(*spend, windows);  // loaded before the timing
    for (auto _ : state) {
        double cost = tokentally::budget::worst_case_cost(BODY, PRICE, tokentally::budget::RESERVE_OUTPUT_TOKENS);
        benchmark::DoNotOptimize(spend_state::hold_if(spend, windows, "tag1", cost, admit));
    }
}

void BM_exact_cache_put_get(benchmark::State& state) {
    auto store = _use_ledger(state.range(0));
    boost::json::object body{{"model", "openai/gpt-4o"}, {"messages", "hello"}};
    boost::json::object answer{{"usage", {{"prompt_tokens", 5}, {"completion_tokens", 2}}}};
    std::int64_t i = 0;
    for (auto _ : state) {
        body["messages"] = "hello " + std::to_string(i++ % 1000);
        auto key = proxy::exact_cache_key("openai/gpt-4o", body);
        proxy::exact_cache_put(*store, key, answer);
        benchmark::DoNotOptimize(proxy::exact_cache_get(*store, key));
    }
}

}  // namespace

BENCHMARK(BM_record_call)->Arg(0)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_budget_block)->Arg(0)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_budget_block_in_memory)->Arg(0)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_strict_hold)->Arg(0)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_exact_cache_put_get)->Arg(0)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    _setup();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
