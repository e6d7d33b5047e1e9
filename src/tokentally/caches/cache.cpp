#include "tokentally/caches/cache.hpp"

#include "tokentally/base/config.hpp"
#include "tokentally/base/features.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/caches/embeddings.hpp"

#include <fmt/format.h>
#include <boost/asio.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <unordered_map>

namespace tokentally::cache {

namespace asio = boost::asio;
namespace bj = boost::json;

namespace {

constexpr double SECONDS_PER_HOUR = 3600.0;

// Expired entries are never served; they are removed from the table and
// the index at most this often (and whenever a lookup meets one).
constexpr double PRUNE_SECONDS = 60.0;

// Members that say who asks or how the answer travels, not what it says.
constexpr std::string_view BOOKKEEPING[] = {"model", "stream", "stream_options", "user", "metadata", "store"};

auto _log() {
    static auto logger = logging::get("tokentally.cache");
    return logger;
}

// --- settings ---------------------------------------------------------------

struct CacheSettings {
    double threshold = DEFAULT_THRESHOLD;
    double ttl_seconds = DEFAULT_TTL_HOURS * SECONDS_PER_HOUR;
    embeddings::Settings embedder;
    std::string space;  // what the stored vectors are comparable with
};

double _setting(const bj::object& section, std::string_view key, double fallback) {
    const bj::value* v = section.if_contains(key);
    return v == nullptr ? fallback : json::as_number(*v, "semantic_cache." + std::string(key));
}

CacheSettings _settings() {
    auto cfg = config::load_shared();
    const bj::object& section = json::table(*cfg, "semantic_cache");
    CacheSettings s;
    s.threshold = _setting(section, "threshold", DEFAULT_THRESHOLD);
    if (!(s.threshold > 0 && s.threshold <= 1))
        throw std::runtime_error("semantic_cache.threshold must be above 0 and at most 1: " +
                                 json::format_real(s.threshold));
    double hours = _setting(section, "ttl_hours", DEFAULT_TTL_HOURS);
    if (!(hours > 0)) throw std::runtime_error("semantic_cache.ttl_hours must be above 0: " + json::format_real(hours));
    s.ttl_seconds = hours * SECONDS_PER_HOUR;
    s.embedder = embeddings::settings(section);
    s.space = s.embedder.model + "\n" + s.embedder.prefix;
    return s;
}

// --- the request in two parts ------------------------------------------------

bool _is_text_part(const bj::value& part) {
    const bj::value* type = json::member(part, "type");
    const bj::value* text = json::member(part, "text");
    return type && type->is_string() && (type->get_string() == "text" || type->get_string() == "input_text") && text &&
           text->is_string();
}

// The text of a message's content (its text parts joined by line breaks),
// and the content with that text blanked out.
std::optional<std::string> _take_text(bj::value& content) {
    if (content.is_string()) {
        std::string text(content.get_string());
        content = "";
        return text;
    }
    if (!content.is_array()) return std::nullopt;
    std::optional<std::string> text;
    for (auto& part : content.get_array()) {
        if (!_is_text_part(part)) continue;
        bj::value& t = part.get_object()["text"];
        text = text ? *text + "\n" + std::string(t.get_string()) : std::string(t.get_string());
        t = "";
    }
    return text;
}

bool _is_user(const bj::value& message) {
    const bj::value* role = json::member(message, "role");
    return role && role->is_string() && role->get_string() == "user";
}

// The last user message of a list: its text out, its place in `body` kept.
std::optional<std::string> _take_last_user_text(bj::object& body, std::string_view list_key) {
    bj::value* list = body.if_contains(list_key);
    if (list == nullptr || !list->is_array()) return std::nullopt;
    auto& messages = list->get_array();
    auto last = std::find_if(messages.rbegin(), messages.rend(), _is_user);
    if (last == messages.rend()) return std::nullopt;
    bj::value* content = last->get_object().if_contains("content");
    return content ? _take_text(*content) : std::nullopt;
}

std::optional<std::string> _take_prompt(bj::object& body, std::string_view key) {
    bj::value* v = body.if_contains(key);
    if (v == nullptr || !v->is_string()) return std::nullopt;
    std::string text(v->get_string());
    body.erase(key);
    return text;
}

// --- answers worth keeping ---------------------------------------------------

bool _is(const bj::value* v, std::initializer_list<std::string_view> allowed) {
    return v && v->is_string() && std::find(allowed.begin(), allowed.end(), v->get_string()) != allowed.end();
}

bool _asks_for_tools(const bj::value* message) {
    return message && (json::truthy(json::member(*message, "tool_calls")) ||
                       json::truthy(json::member(*message, "function_call")));
}

bool _finished_choice(const bj::value& choice) {
    return _is(json::member(choice, "finish_reason"), {"stop"}) && !_asks_for_tools(json::member(choice, "message"));
}

bool _has_block_of_type(const bj::value* list, std::string_view type_suffix) {
    if (list == nullptr || !list->is_array()) return false;
    return std::any_of(list->get_array().begin(), list->get_array().end(), [&](const bj::value& block) {
        const bj::value* type = json::member(block, "type");
        return type && type->is_string() && std::string_view(type->get_string()).ends_with(type_suffix);
    });
}

// --- signatures --------------------------------------------------------------

// A 256-bit sign signature per vector: bit k tells on which side of the k-th
// fixed random hyperplane it lies. Two vectors at angle θ differ in about
// 256·θ/π bits, so comparing signatures (four popcounts) finds the few
// entries worth an exact cosine without reading every vector.
constexpr std::size_t SIGNATURE_BITS = 256;
using Signature = std::array<std::uint64_t, SIGNATURE_BITS / 64>;

// Candidates given an exact cosine per lookup, at most.
constexpr std::size_t RERANK = 32;

// Fixed forever: signatures stored in the table must stay comparable with
// those of later lookups and later versions.
constexpr std::uint64_t PLANES_SEED = 0x746f6b656e74616cull;

std::uint64_t _splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The hyperplanes for vectors of `dims` dimensions: dims rows of
// SIGNATURE_BITS entries of +1 or -1, row by row so that one dimension
// updates all 256 sums in one vectorisable loop.
const std::vector<float>& _planes(std::size_t dims) {
    static std::mutex mu;
    static std::map<std::size_t, std::unique_ptr<const std::vector<float>>> made;
    std::lock_guard lock(mu);
    auto& slot = made[dims];
    if (!slot) {
        auto planes = std::make_unique<std::vector<float>>(dims * SIGNATURE_BITS);
        std::uint64_t state = PLANES_SEED ^ dims;
        for (std::size_t i = 0; i < planes->size(); i += 64) {
            std::uint64_t bits = _splitmix64(state);
            for (std::size_t b = 0; b < 64; ++b) (*planes)[i + b] = (bits >> b) & 1 ? 1.0f : -1.0f;
        }
        slot = std::move(planes);
    }
    return *slot;
}

Signature _signature(const std::vector<float>& v) {
    const std::vector<float>& planes = _planes(v.size());
    std::array<float, SIGNATURE_BITS> sums{};
    for (std::size_t d = 0; d < v.size(); ++d) {
        const float* row = &planes[d * SIGNATURE_BITS];
        for (std::size_t k = 0; k < SIGNATURE_BITS; ++k) sums[k] += row[k] * v[d];
    }
    Signature sig{};
    for (std::size_t k = 0; k < SIGNATURE_BITS; ++k)
        if (sums[k] >= 0) sig[k / 64] |= std::uint64_t{1} << (k % 64);
    return sig;
}

// Bits two signatures differ in.
int _distance(const Signature& a, const Signature& b) {
    int n = 0;
    for (std::size_t w = 0; w < a.size(); ++w) n += std::popcount(a[w] ^ b[w]);
    return n;
}

// The signature distance beyond which a vector is all but certainly below
// `threshold`: the expected distance at that cosine plus five standard
// deviations.
int _max_distance(double threshold) {
    double p = std::acos(std::clamp(threshold, -1.0, 1.0)) / std::numbers::pi;
    double bits = static_cast<double>(SIGNATURE_BITS);
    return static_cast<int>(std::ceil(bits * p + 5 * std::sqrt(bits * p * (1 - p)))) + 1;
}

float _dot(const float* a, const float* b, std::size_t n) {
    float sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
    return sum;
}

// --- the index ---------------------------------------------------------------

struct Entry {
    std::int64_t id;
    double ts;
    Signature sig;
};

// One deque per context key, oldest first.
using Partitions = std::unordered_map<std::string, std::deque<Entry>>;

// Embeddings made by a lookup that missed, for the store of the same request
// (or its failure, so that the store does not wait on the server again).
struct Embedded {
    std::vector<float> vector;
    std::string error;
    double at = 0;
};

constexpr std::size_t MEMO_ENTRIES = 1024;
constexpr double MEMO_SECONDS = 600.0;

struct Index {
    std::mutex mu;
    std::string source;  // where the entries were loaded from; empty before
    Partitions partitions;
    std::size_t size = 0;
    double next_prune = 0;
    std::unordered_map<std::string, Embedded> memo;
};

Index& _index() {
    static Index ix;
    return ix;
}

// Loads the index the first time this process sees the store's entries
// (again when they were replaced, or another store is used), creating
// their table.
void _ensure_loaded(Store& store, double ttl_seconds) {
    bool fresh = store.semantic_cache().prepare();
    if (!fresh) {
        std::lock_guard lock(_index().mu);
        fresh = _index().source != store.location();
    }
    if (fresh) _reload(store, ttl_seconds);
}

void _drop_older(Index& ix, double cutoff) {
    for (auto it = ix.partitions.begin(); it != ix.partitions.end();) {
        auto& entries = it->second;
        while (!entries.empty() && entries.front().ts < cutoff) {
            entries.pop_front();
            --ix.size;
        }
        it = entries.empty() ? ix.partitions.erase(it) : std::next(it);
    }
}

// Removes entries stored before `cutoff`, from the index and the store.
void _prune(Store& store, double cutoff) {
    {
        auto& ix = _index();
        std::lock_guard lock(ix.mu);
        _drop_older(ix, cutoff);
        ix.next_prune = store::now() + PRUNE_SECONDS;
    }
    store.semantic_cache().remove_before(cutoff);
}

void _prune_if_due(Store& store, double ttl_seconds) {
    double now = store::now();
    {
        std::lock_guard lock(_index().mu);
        if (now < _index().next_prune) return;
    }
    _prune(store, now - ttl_seconds);
}

// An entry whose row went away (another process, a hand edit).
void _forget(Store& store, std::int64_t id) {
    auto& ix = _index();
    {
        std::lock_guard lock(ix.mu);
        for (auto part = ix.partitions.begin(); part != ix.partitions.end(); ++part) {
            auto& entries = part->second;
            auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.id == id; });
            if (it == entries.end()) continue;
            entries.erase(it);
            --ix.size;
            if (entries.empty()) ix.partitions.erase(part);
            break;
        }
    }
    store.semantic_cache().remove(id);
}

// (distance, id) of the entries within `max_distance` of `sig` stored from
// `cutoff` on. Built twice, and picked when the library loads: with the
// CPU's popcount instruction where it has one (every x86-64 of the last
// fifteen years), which makes the scan of 100k entries several times faster.
__attribute__((target_clones("popcnt", "default"))) void _near(const std::deque<Entry>& entries, const Signature& sig,
                                                               int max_distance, double cutoff,
                                                               std::vector<std::pair<int, std::int64_t>>& out) {
    for (const Entry& e : entries)
        if (int d = _distance(e.sig, sig); d <= max_distance && e.ts >= cutoff) out.emplace_back(d, e.id);
}

bool _has_entries(const std::string& key) {
    auto& ix = _index();
    std::lock_guard lock(ix.mu);
    return ix.partitions.contains(key);
}

// Ids of the entries under `key` whose signatures are nearest to `sig`,
// nearest first, at most RERANK of them.
std::vector<std::int64_t> _candidates(const std::string& key, const Signature& sig, int max_distance, double cutoff) {
    std::vector<std::pair<int, std::int64_t>> near;
    {
        auto& ix = _index();
        std::lock_guard lock(ix.mu);
        auto it = ix.partitions.find(key);
        if (it == ix.partitions.end()) return {};
        _near(it->second, sig, max_distance, cutoff, near);
    }
    std::size_t keep = std::min(near.size(), RERANK);
    std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(keep), near.end());
    std::vector<std::int64_t> ids;
    for (std::size_t i = 0; i < keep; ++i) ids.push_back(near[i].second);
    return ids;
}

struct Nearest {
    std::int64_t id = 0;
    double similarity = -2;
};

// The candidate with the highest cosine, read from the store. Entries that
// went away or expired (by the store's time) are forgotten, and an expired
// one starts a prune of all the others.
std::optional<Nearest> _rerank(Store& store, const std::vector<std::int64_t>& ids, const std::vector<float>& embedding,
                               double cutoff) {
    std::optional<Nearest> best;
    std::vector<std::int64_t> gone;
    bool expired = false;
    std::vector<float> stored(embedding.size());  // the stored bytes need not be aligned for floats
    std::vector<std::optional<store::SemanticVector>> vectors = store.semantic_cache().vectors(ids);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const auto& v = vectors[i];
        if (!v || v->ts < cutoff) {
            gone.push_back(ids[i]);
            expired = expired || v.has_value();
            continue;
        }
        if (v->embedding.size() != embedding.size() * sizeof(float)) continue;
        std::memcpy(stored.data(), v->embedding.data(), v->embedding.size());
        double sim = _dot(stored.data(), embedding.data(), embedding.size());
        if (!best || sim > best->similarity) best = Nearest{ids[i], sim};
    }
    for (std::int64_t id : gone) _forget(store, id);
    if (expired) _prune(store, cutoff);
    return best;
}

bj::object _take_response(Store& store, std::int64_t id) {
    std::optional<std::string> text = store.semantic_cache().response(id);
    if (!text) throw std::runtime_error(fmt::format("semantic cache entry {} went away", id));
    auto response = json::parse_object(*text);
    if (!response) throw std::runtime_error(fmt::format("semantic cache entry {} holds no JSON object", id));
    store.semantic_cache().count_hit(id);
    return std::move(*response);
}

// --- embeddings ----------------------------------------------------------------

void _remember(const std::string& memo_key, Embedded embedded) {
    auto& ix = _index();
    std::lock_guard lock(ix.mu);
    if (ix.memo.size() >= MEMO_ENTRIES)
        std::erase_if(ix.memo, [&](const auto& kv) { return kv.second.at < embedded.at - MEMO_SECONDS; });
    if (ix.memo.size() >= MEMO_ENTRIES) ix.memo.clear();
    ix.memo[memo_key] = std::move(embedded);
}

std::optional<Embedded> _recall(const std::string& memo_key) {
    auto& ix = _index();
    std::lock_guard lock(ix.mu);
    auto it = ix.memo.find(memo_key);
    if (it == ix.memo.end()) return std::nullopt;
    Embedded out = std::move(it->second);
    ix.memo.erase(it);
    return out;
}

// The embedding of a request's text: for a lookup, asked of the server and
// remembered (failures too); for the store, taken from that memory when the
// lookup made it.
asio::awaitable<std::vector<float>> _embedding(const CacheSettings& s, const std::string& memo_key,
                                               const std::string& text, bool for_lookup) {
    if (!for_lookup)
        if (auto made = _recall(memo_key)) {
            if (!made->error.empty()) throw std::runtime_error("no embedding for this request: " + made->error);
            co_return std::move(made->vector);
        }
    auto ex = co_await asio::this_coro::executor;
    auto [error, vector] =
        co_await asio::co_spawn(ex, embeddings::embed(s.embedder, text), asio::as_tuple(asio::use_awaitable));
    if (for_lookup) _remember(memo_key, Embedded{vector, error ? logging::describe(error) : "", store::now()});
    if (error) std::rethrow_exception(error);
    co_return vector;
}

std::string _memo_key(const std::string& key, const std::string& text) { return key + json::sha256_hex(text); }

std::string _bytes(const void* data, std::size_t n) { return std::string(static_cast<const char*>(data), n); }

}  // namespace

std::optional<Split> _split_request(const bj::object& body) {
    Split split;
    split.context = body;
    std::optional<std::string> text = _take_last_user_text(split.context, "messages");
    if (!text) text = _take_last_user_text(split.context, "input");
    if (!text) text = _take_prompt(split.context, "input");
    if (!text) text = _take_prompt(split.context, "prompt");
    if (!text || text->empty()) return std::nullopt;
    split.text = std::move(*text);
    for (std::string_view key : BOOKKEEPING) split.context.erase(key);
    return split;
}

std::string _context_key(const std::string& model_id, const bj::object& context, const std::string& space) {
    bj::object keyed{{"model", model_id}, {"space", space}, {"context", context}};
    return json::sha256_hex(json::write(keyed, json::WriteOptions{.sort_keys = true}));
}

bool _storable(const bj::value& response) {
    if (!response.is_object()) return false;
    const bj::object& r = response.get_object();
    if (const bj::value* choices = r.if_contains("choices")) {
        return choices->is_array() && !choices->get_array().empty() &&
               std::all_of(choices->get_array().begin(), choices->get_array().end(), _finished_choice);
    }
    if (r.contains("stop_reason"))
        return _is(r.if_contains("stop_reason"), {"end_turn", "stop_sequence"}) &&
               !_has_block_of_type(r.if_contains("content"), "tool_use");
    if (r.contains("done_reason"))
        return _is(r.if_contains("done_reason"), {"stop"}) && !_asks_for_tools(r.if_contains("message"));
    if (r.contains("status") && r.contains("output"))
        return _is(r.if_contains("status"), {"completed"}) && !_has_block_of_type(r.if_contains("output"), "_call");
    return false;
}

std::optional<Hit> _find(Store& store, const std::string& key, const std::vector<float>& embedding, double threshold,
                         double ttl_seconds) {
    double cutoff = store::now() - ttl_seconds;
    auto ids = _candidates(key, _signature(embedding), _max_distance(threshold), cutoff);
    if (ids.empty()) return std::nullopt;
    auto nearest = _rerank(store, ids, embedding, cutoff);
    if (!nearest) return std::nullopt;
    if (nearest->similarity < threshold) {
        _log()->info("semantic cache miss: nearest entry {} at similarity {:.4f}, below the threshold {}", nearest->id,
                     nearest->similarity, json::format_real(threshold));
        return std::nullopt;
    }
    _log()->info("semantic cache hit: entry {} at similarity {:.4f} (threshold {})", nearest->id, nearest->similarity,
                 json::format_real(threshold));
    return Hit{nearest->id, nearest->similarity, _take_response(store, nearest->id)};
}

std::int64_t _add(Store& store, const std::string& key, const std::string& model_id,
                  const std::vector<float>& embedding, const bj::value& response, double cost_usd) {
    Signature sig = _signature(embedding);
    store::Appended made =
        store.semantic_cache().add({key, model_id, _bytes(embedding.data(), embedding.size() * sizeof(float)),
                                    _bytes(sig.data(), sizeof sig), json::write(response), cost_usd});
    auto& ix = _index();
    std::lock_guard lock(ix.mu);
    if (ix.source == store.location()) {
        ix.partitions[key].push_back(Entry{made.id, made.ts, sig});
        ++ix.size;
    }
    return made.id;
}

void _reload(Store& store, double ttl_seconds) {
    Partitions partitions;
    std::size_t size = 0;
    for (const auto& head : store.semantic_cache().live(store::now() - ttl_seconds)) {
        if (head.signature.size() != sizeof(Signature)) continue;
        Entry e{head.id, head.ts, {}};
        std::memcpy(e.sig.data(), head.signature.data(), sizeof e.sig);
        partitions[head.context_key].push_back(e);
        ++size;
    }
    auto& ix = _index();
    std::lock_guard lock(ix.mu);
    ix.source = store.location();
    ix.partitions = std::move(partitions);
    ix.size = size;
    ix.next_prune = 0;
}

std::size_t _size() {
    std::lock_guard lock(_index().mu);
    return _index().size;
}

void init_cache_tables(Store& store) {
    bool on = false;
    try {
        on = features::check("semantic_cache");
    } catch (const std::exception&) {
        // A configuration that cannot be read is reported on every call by
        // the budget check; the first lookup loads the index once it can be.
    }
    if (!on) return;
    try {
        CacheSettings s = _settings();
        store.semantic_cache().prepare();
        _reload(store, s.ttl_seconds);
        _prune(store, store::now() - s.ttl_seconds);
        _log()->info("semantic cache: {} entries from {}", _size(), store.location());
    } catch (const std::exception& e) {
        _log()->warn("semantic cache not loaded: {}", e.what());
    }
}

asio::awaitable<std::optional<bj::object>> lookup(Store& store, const bj::object& body, const std::string& model_id) {
    CacheSettings s = _settings();
    std::optional<Split> split = _split_request(body);
    if (!split || !store.exists()) co_return std::nullopt;
    std::string key = _context_key(model_id, split->context, s.space);
    _ensure_loaded(store, s.ttl_seconds);
    _prune_if_due(store, s.ttl_seconds);
    if (!_has_entries(key)) co_return std::nullopt;
    std::string memo_key = _memo_key(key, split->text);
    std::vector<float> embedding = co_await _embedding(s, memo_key, split->text, true);
    std::optional<Hit> hit = _find(store, key, embedding, s.threshold, s.ttl_seconds);
    if (!hit) co_return std::nullopt;
    _recall(memo_key);  // answered from the cache: nothing to store
    co_return std::move(hit->response);
}

asio::awaitable<void> store(Store& store, const bj::object& body, const std::string& model_id,
                            const bj::value& response, double cost_usd) {
    CacheSettings s = _settings();
    std::optional<Split> split = _split_request(body);
    if (!split) co_return;
    std::string key = _context_key(model_id, split->context, s.space);
    std::string memo_key = _memo_key(key, split->text);
    if (!_storable(response)) {
        _recall(memo_key);
        co_return;
    }
    std::vector<float> embedding = co_await _embedding(s, memo_key, split->text, false);
    _ensure_loaded(store, s.ttl_seconds);
    _prune_if_due(store, s.ttl_seconds);
    _add(store, key, model_id, embedding, response, cost_usd);
}

}  // namespace tokentally::cache
