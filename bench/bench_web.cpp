// The web dashboard's API on ledgers of 10k and 1M rows: each route's
// handler as the server runs it (the HTTP exchange around it is the same for
// every route and is left out), for the 24-hour and the 30-day range.
#include "seed.hpp"

#include "tokentally/views/dashboard.hpp"

#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
namespace http = tokentally::http;

namespace {

const fs::path ROOT = fs::temp_directory_path() / "tokentally-bench-web";

const char* const PATHS[] = {"/dashboard/api/summary", "/dashboard/api/series", "/dashboard/api/sessions",
                             "/dashboard/api/recent",  "/dashboard/api/alerts", "/dashboard/api/advice",
                             "/dashboard/calls.csv"};

// The route's answer, run in a loop of its own as the server runs it.
http::Response _answer(const http::Route& route, const std::string& path, const std::string& query) {
    boost::asio::io_context ioc;
    http::Request req{.method = "GET", .path = path, .query = query, .peer = "127.0.0.1"};
    auto answer = boost::asio::co_spawn(
        ioc, [&]() -> boost::asio::awaitable<http::Response> { co_return co_await route.handler(req); },
        boost::asio::use_future);
    ioc.run();
    return answer.get();
}

void BM_api(benchmark::State& state) {
    auto store = tokentally::store::open(tt_bench::seeded_ledger(ROOT, state.range(0)).string());
    http::Router routes = tokentally::dashboard::router(store, "bench");
    const std::string path = PATHS[state.range(1)];
    const std::string query = state.range(2) ? "range=30d" : "range=24h";
    const http::Route* route = nullptr;
    for (const auto& r : routes.routes)
        if (r.pattern == path) route = &r;
    state.SetLabel(path + "?" + query);
    // The first read of a ledger folds every call into the rollups (once
    // per ledger, seconds at a million calls); the figures are the reads
    // after it, as a page open on a running proxy sees them.
    if (_answer(*route, path, query).status != 200) state.SkipWithError("the first read failed");
    for (auto _ : state) {
        http::Response resp = _answer(*route, path, query);
        if (resp.status != 200) state.SkipWithError(resp.body.c_str());
        benchmark::DoNotOptimize(resp.body.size());
    }
}

}  // namespace

BENCHMARK(BM_api)
    ->ArgsProduct({{10'000, 1'000'000}, {0, 1, 2, 3, 4, 5, 6}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    fs::create_directories(ROOT / "home");
    setenv("HOME", (ROOT / "home").c_str(), 1);
    std::ofstream(ROOT / "home" / ".tokentally.toml") << "[budgets]\ndaily = 50.0\nmonthly = 1000.0\n"
                                                         "[budgets.tags.tag1]\ndaily = 5.0\n";
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
