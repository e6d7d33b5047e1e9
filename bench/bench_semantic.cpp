// The semantic cache's lookup on 1k, 10k and 100k entries of 768
// dimensions, all under one request context: the worst case, which a
// single-turn assistant with one system prompt reaches (every request of a
// conversation with history has a context of its own). The baseline is an
// exact scan of the same vectors held in memory, run in the same invocation.
// The embedding call is not part of it: it costs what the embedding server
// takes.
#include "tokentally/caches/cache.hpp"
#include "tokentally/base/logging.hpp"

#include <benchmark/benchmark.h>
#include <boost/json.hpp>

#include <cmath>
#include <filesystem>
#include <map>
#include <random>

namespace fs = std::filesystem;
namespace bj = boost::json;
namespace cache = tokentally::cache;

namespace {

constexpr std::size_t DIMS = 768;
constexpr std::size_t TOPICS = 256;
constexpr double THRESHOLD = 0.95;
constexpr double TTL_SECONDS = 86400;
const std::string KEY = "bench-context";

const fs::path ROOT = fs::temp_directory_path() / "tokentally-bench-semantic";

using Vector = std::vector<float>;

void _normalise(Vector& v) {
    double sum = 0;
    for (float x : v) sum += static_cast<double>(x) * x;
    auto scale = static_cast<float>(1 / std::sqrt(sum));
    for (float& x : v) x *= scale;
}

// Text embeddings share a common direction and cluster by topic: unrelated
// texts sit at a cosine of about 0.3, texts of one topic at about 0.7.
struct Space {
    std::mt19937 rng{42};
    std::normal_distribution<float> normal;
    Vector common = random();
    std::vector<Vector> topics;

    Space() {
        for (std::size_t t = 0; t < TOPICS; ++t) topics.push_back(random());
    }
    Vector random() {
        Vector v(DIMS);
        for (float& x : v) x = normal(rng);
        _normalise(v);
        return v;
    }
    Vector mix(const Vector& a, double wa, const Vector& b, double wb, double noise) {
        Vector n = random(), v(DIMS);
        for (std::size_t i = 0; i < DIMS; ++i)
            v[i] = static_cast<float>(wa * a[i] + wb * b[i] + noise * n[i]);
        _normalise(v);
        return v;
    }
    Vector text() { return mix(common, 0.55, topics[rng() % TOPICS], 0.65, 0.5); }
    Vector paraphrase_of(const Vector& v) { return mix(v, 1.0, v, 0.0, 0.2); }  // cosine ~0.98
};

struct Corpus {
    std::vector<Vector> entries;
    std::vector<Vector> hits;    // paraphrases of stored texts
    std::vector<Vector> misses;  // texts of the same topics, stored nowhere
    std::shared_ptr<tokentally::store::Store> store;
};

// The entries of one size, stored through the cache itself into a ledger of
// their own, made once per run.
Corpus& _corpus(std::size_t n) {
    static std::map<std::size_t, Corpus> made;
    auto [it, fresh] = made.try_emplace(n);
    Corpus& c = it->second;
    if (!fresh) return c;
    Space space;
    for (std::size_t i = 0; i < n; ++i) c.entries.push_back(space.text());
    for (std::size_t i = 0; i < 64; ++i) {
        c.hits.push_back(space.paraphrase_of(c.entries[(i * 7919) % n]));
        c.misses.push_back(space.text());
    }
    std::string path = (ROOT / ("semantic-" + std::to_string(n) + ".db")).string();
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix);
    c.store = tokentally::store::open(path);
    cache::_reload(*c.store, TTL_SECONDS);
    bj::value answer = bj::parse(R"({"choices": [{"message": {"content": "An answer."}, "finish_reason": "stop"}]})");
    for (const Vector& v : c.entries) cache::_add(*c.store, KEY, "gpt-4o", v, answer, 0.001);
    return c;
}

// The index holds the entries of one store at a time.
const Corpus& _use(std::size_t n) {
    static const Corpus* loaded = nullptr;
    Corpus& c = _corpus(n);
    if (loaded != &c || cache::_size() != n) {
        cache::_reload(*c.store, TTL_SECONDS);
        loaded = &c;
    }
    return c;
}

void _setup() {
    fs::create_directories(ROOT);
    // Hits and near misses are logged at INFO; the figures are the lookups'.
    tokentally::logging::set_level(spdlog::level::warn);
}

void BM_SemanticLookupHit(benchmark::State& state) {
    const Corpus& c = _use(static_cast<std::size_t>(state.range(0)));
    std::size_t i = 0, hits = 0;
    for (auto _ : state)
        hits += cache::_find(*c.store, KEY, c.hits[i++ % c.hits.size()], THRESHOLD, TTL_SECONDS).has_value();
    state.counters["hit_rate"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

void BM_SemanticLookupMiss(benchmark::State& state) {
    const Corpus& c = _use(static_cast<std::size_t>(state.range(0)));
    std::size_t i = 0, hits = 0;
    for (auto _ : state)
        hits += cache::_find(*c.store, KEY, c.misses[i++ % c.misses.size()], THRESHOLD, TTL_SECONDS).has_value();
    state.counters["hit_rate"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

// The baseline: the best cosine over every vector, held in memory.
void BM_ExactScanInMemory(benchmark::State& state) {
    const Corpus& c = _corpus(static_cast<std::size_t>(state.range(0)));
    std::size_t i = 0;
    for (auto _ : state) {
        const Vector& q = c.hits[i++ % c.hits.size()];
        float best = -2;
        for (const Vector& v : c.entries) {
            float dot = 0;
            for (std::size_t d = 0; d < DIMS; ++d) dot += v[d] * q[d];
            best = std::max(best, dot);
        }
        benchmark::DoNotOptimize(best);
    }
}

// What a start of `serve` spends building the index from the table.
void BM_IndexLoadAtStart(benchmark::State& state) {
    const Corpus& c = _use(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) cache::_reload(*c.store, TTL_SECONDS);
}

}  // namespace

BENCHMARK(BM_ExactScanInMemory)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SemanticLookupHit)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SemanticLookupMiss)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IndexLoadAtStart)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    _setup();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(ROOT);
}
