#include "tokentally/insight/predictor.hpp"

#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/base/paths.hpp"

#include <fmt/format.h>
#include <xgboost/c_api.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace tokentally::predictor {

std::string MODEL_PATH = paths::data_file("cost_predictor.pkl");
bj::object MODEL_INDEX;
bj::object TAG_INDEX;

namespace {

// The regressor: 200 boosting rounds of depth-4 trees with a small step and
// row and column subsampling; everything else at XGBoost's defaults.
constexpr int N_ESTIMATORS = 200;
constexpr std::pair<const char*, const char*> BOOSTER_PARAMS[] = {
    {"objective", "reg:squarederror"}, {"max_depth", "4"}, {"eta", "0.05"},    {"subsample", "0.8"},
    {"colsample_bytree", "0.8"},       {"seed", "42"},     {"verbosity", "0"},
};

// One thread gives the same trees as many, and with seven features there is
// little to split: on a loaded two-core machine OpenMP's waiting threads made
// training 6-8 times slower (100k rows: 44 s against 5.6 s).
constexpr const char* NTHREAD = "1";

constexpr std::uint32_t SPLIT_SEED = 42;
constexpr const char* PREDICT_CONFIG =
    R"({"type": 0, "training": false, "iteration_begin": 0, "iteration_end": 0, "strict_shape": false})";
constexpr int IMPORTANCE_BAR_WIDTH = 40;

std::shared_ptr<spdlog::logger> _log() { return logging::get("tokentally.predictor"); }

// XGBoost's message without the stack trace it appends.
void _check(int rc, std::string_view what) {
    if (rc == 0) return;
    std::string error = XGBGetLastError();
    throw std::runtime_error(fmt::format("{}: {}", what, error.substr(0, error.find('\n'))));
}

// Owns one XGBoost data matrix.
class DMatrix {
public:
    DMatrix(const std::vector<float>& values, std::size_t rows) {
        // NaN marks a missing value; -1 and 0 are real feature values here.
        _check(XGDMatrixCreateFromMat(values.data(), rows, N_FEATURES, std::nanf(""), &handle_),
               "cannot build the feature matrix");
    }
    ~DMatrix() { XGDMatrixFree(handle_); }
    DMatrix(const DMatrix&) = delete;
    DMatrix& operator=(const DMatrix&) = delete;
    DMatrixHandle handle_ = nullptr;
};

void _single_thread(const Booster& model) {
    _check(XGBoosterSetParam(model.handle(), "nthread", NTHREAD), "cannot set nthread");
}

// One usable ledger row. Rows come in the ledger's order, and the seeded
// split below makes the same rows give the same model.
using Row = store::TrainingRow;

std::int64_t _index_of(const bj::object& index, std::string_view key) {
    const bj::value* v = index.if_contains(key);
    return v == nullptr ? -1 : static_cast<std::int64_t>(json::as_number(*v, fmt::format("index of '{}'", key)));
}

std::tm _local_time(double ts) {
    if (!std::isfinite(ts) || std::fabs(ts) > 1e15)
        throw std::invalid_argument("timestamp cannot be broken down: " + json::format_real(ts));
    std::time_t t = static_cast<std::time_t>(std::floor(ts));
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr)
        throw std::invalid_argument("timestamp cannot be broken down: " + json::format_real(ts));
    return tm;
}

// Distinct non-empty values in code-point order (byte order of UTF-8), each
// mapped to its position.
template <class Field>
bj::object _build_index(const std::vector<Row>& rows, Field field) {
    std::vector<std::string> values;
    for (const auto& row : rows)
        if (!(row.*field).empty()) values.push_back(row.*field);
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    bj::object index;
    for (std::size_t i = 0; i < values.size(); ++i) index[values[i]] = static_cast<std::int64_t>(i);
    return index;
}

Features _row_features(const Row& row) {
    // The ledger keeps token counts, not prompts; four characters per token
    // is the usual estimate of the prompt's length.
    return _featurize(row.model_id, row.prompt_tokens * 4, row.tag.empty() ? "default" : row.tag, row.ts,
                      row.completion_tokens, row.prompt_tokens);
}

void _append(std::vector<float>& matrix, const Features& f) {
    for (double v : f) matrix.push_back(static_cast<float>(v));
}

std::vector<float> _select(const std::vector<float>& values, std::size_t width, const std::vector<std::size_t>& rows) {
    std::vector<float> out;
    out.reserve(rows.size() * width);
    for (std::size_t r : rows) out.insert(out.end(), values.begin() + r * width, values.begin() + (r + 1) * width);
    return out;
}

Booster _fit(const std::vector<float>& X, const std::vector<float>& y) {
    DMatrix dtrain(X, y.size());
    _check(XGDMatrixSetFloatInfo(dtrain.handle_, "label", y.data(), y.size()), "cannot set the training targets");
    Booster model(dtrain.handle_);
    _single_thread(model);
    for (const auto& [name, value] : BOOSTER_PARAMS)
        _check(XGBoosterSetParam(model.handle(), name, value), fmt::format("cannot set {}={}", name, value));
    for (int round = 0; round < N_ESTIMATORS; ++round)
        _check(XGBoosterUpdateOneIter(model.handle(), round, dtrain.handle_),
               fmt::format("boosting round {} failed", round));
    return model;
}

std::vector<double> _predict_rows(const Booster& model, const std::vector<float>& X) {
    DMatrix data(X, X.size() / N_FEATURES);
    const bst_ulong* shape = nullptr;
    bst_ulong dim = 0;
    const float* result = nullptr;
    _check(XGBoosterPredictFromDMatrix(model.handle(), data.handle_, PREDICT_CONFIG, &shape, &dim, &result),
           "prediction failed");
    return std::vector<double>(result, result + X.size() / N_FEATURES);
}

double _mae(const std::vector<float>& y, const std::vector<double>& pred) {
    double sum = 0;
    for (std::size_t i = 0; i < y.size(); ++i) sum += std::fabs(y[i] - pred[i]);
    return sum / static_cast<double>(y.size());
}

// Coefficient of determination; a constant target scores 1.0 when it is
// predicted exactly and 0.0 otherwise, rather than dividing by zero.
double _r2(const std::vector<float>& y, const std::vector<double>& pred) {
    double mean = std::accumulate(y.begin(), y.end(), 0.0) / static_cast<double>(y.size());
    double ss_res = 0, ss_tot = 0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        ss_res += (y[i] - pred[i]) * (y[i] - pred[i]);
        ss_tot += (y[i] - mean) * (y[i] - mean);
    }
    if (ss_tot == 0) return ss_res == 0 ? 1.0 : 0.0;
    return 1.0 - ss_res / ss_tot;
}

bool _train(store::Store& store) {
    if (!store.exists()) {
        _log()->warn("No ledger.db found — call the proxy first to generate data");
        return false;
    }
    std::vector<Row> rows = store.calls().training_rows();
    if (rows.size() < MIN_ROWS) {
        _log()->warn("Only {} usable rows — need {} to train", rows.size(), MIN_ROWS);
        return false;
    }
    MODEL_INDEX = _build_index(rows, &Row::model_id);
    TAG_INDEX = _build_index(rows, &Row::tag);
    std::vector<float> X, y;
    X.reserve(rows.size() * N_FEATURES);
    for (const auto& row : rows) {
        _append(X, _row_features(row));
        y.push_back(static_cast<float>(row.cost_usd));
    }
    // XGBoost is linked into this library, so unlike an optional plug-in it
    // cannot be missing at this point.
    auto [test_rows, train_rows] = _split(rows.size());
    Bundle bundle{_fit(_select(X, N_FEATURES, train_rows), _select(y, 1, train_rows)), MODEL_INDEX, TAG_INDEX};
    std::vector<float> y_test = _select(y, 1, test_rows);
    std::vector<double> pred = _predict_rows(bundle.model, _select(X, N_FEATURES, test_rows));
    bundle.n_rows = static_cast<std::int64_t>(rows.size());
    bundle.mae = _mae(y_test, pred);
    bundle.r2 = _r2(y_test, pred);
    bundle.trained_at = store::now();
    paths::replace_file(MODEL_PATH, _encode_bundle(bundle));
    _log()->info("Trained on {} rows  MAE=${:.8f}  R²={:.3f}", rows.size(), bundle.mae, bundle.r2);
    return true;
}

std::string _model_json(const Booster& model) {
    bst_ulong len = 0;
    const char* data = nullptr;
    _check(XGBoosterSaveModelToBuffer(model.handle(), R"({"format": "json"})", &len, &data), "cannot save the model");
    return std::string(data, len);
}

bool _is_index(const bj::value* v) {
    if (v == nullptr || !v->is_object()) return false;
    return std::all_of(v->get_object().begin(), v->get_object().end(),
                       [](const auto& kv) { return kv.value().is_int64() || kv.value().is_uint64(); });
}

bool _is_number(const bj::value* v) { return v != nullptr && v->is_number(); }

bool _has_bundle_fields(const bj::object& doc) {
    const bj::value* model = doc.if_contains("model");
    return model != nullptr && model->is_object() && _is_index(doc.if_contains("model_index")) &&
           _is_index(doc.if_contains("tag_index")) && _is_number(doc.if_contains("trained_at")) &&
           _is_number(doc.if_contains("n_rows")) && _is_number(doc.if_contains("mae")) &&
           _is_number(doc.if_contains("r2"));
}

std::string _format_local(double ts) {
    std::tm tm = _local_time(ts);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    return buf;
}

bj::object _info(const Bundle& bundle) {
    bj::object info;
    info["trained_at"] = _format_local(bundle.trained_at);
    info["n_rows"] = bundle.n_rows;
    info["mae"] = bundle.mae;
    info["r2"] = bundle.r2;
    info["n_models"] = bundle.model_index.size();
    info["n_tags"] = bundle.tag_index.size();
    return info;
}

std::string _blocks(double importance) {
    double n = std::trunc(importance * IMPORTANCE_BAR_WIDTH);
    std::string bar;
    for (int k = 0; k < std::min(n, double{IMPORTANCE_BAR_WIDTH}); ++k) bar += "█";
    return bar;
}

}  // namespace

Booster::Booster() { _check(XGBoosterCreate(nullptr, 0, &handle_), "cannot create a booster"); }

Booster::Booster(void* train_matrix) {
    DMatrixHandle dmats[] = {train_matrix};
    _check(XGBoosterCreate(dmats, 1, &handle_), "cannot create a booster");
}

Booster::~Booster() {
    if (handle_ != nullptr) XGBoosterFree(handle_);
}

Booster::Booster(Booster&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Booster& Booster::operator=(Booster&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) XGBoosterFree(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

Features _featurize(std::string_view model_id, std::int64_t prompt_len, std::string_view tag, double ts,
                    std::optional<std::int64_t> completion_tokens, std::optional<std::int64_t> prompt_tokens) {
    std::tm tm = _local_time(ts);
    double ratio = 0.0;
    if (prompt_tokens && *prompt_tokens > 0 && completion_tokens && *completion_tokens != 0)
        ratio = static_cast<double>(*completion_tokens) / static_cast<double>(*prompt_tokens);
    return {static_cast<double>(_index_of(MODEL_INDEX, model_id)),
            static_cast<double>(prompt_len),
            static_cast<double>(_index_of(TAG_INDEX, tag)),
            static_cast<double>(tm.tm_hour),
            static_cast<double>((tm.tm_wday + 6) % 7),  // tm counts from Sunday
            ratio,
            std::log1p(static_cast<double>(prompt_len))};
}

std::pair<std::vector<std::size_t>, std::vector<std::size_t>> _split(std::size_t n) {
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    // Fisher-Yates over mt19937, whose output the standard fixes, so the
    // split does not change with the standard library's shuffle.
    std::mt19937 rng(SPLIT_SEED);
    for (std::size_t i = n; i > 1; --i) std::swap(order[i - 1], order[rng() % i]);
    std::size_t n_test = (n + 4) / 5;
    return {std::vector<std::size_t>(order.begin(), order.begin() + n_test),
            std::vector<std::size_t>(order.begin() + n_test, order.end())};
}

bool train(store::Store& store, bool /*force*/) {
    try {
        return _train(store);
    } catch (const std::exception& e) {
        _log()->error("Training failed: {}", e.what());
        return false;
    }
}

std::string _encode_bundle(const Bundle& bundle) {
    bj::object doc;
    doc["model"] = bj::parse(_model_json(bundle.model));
    doc["model_index"] = bundle.model_index;
    doc["tag_index"] = bundle.tag_index;
    doc["trained_at"] = bundle.trained_at;
    doc["n_rows"] = bundle.n_rows;
    doc["mae"] = bundle.mae;
    doc["r2"] = bundle.r2;
    return json::write(doc);
}

std::optional<Bundle> _decode_bundle(std::string_view text) {
    std::optional<bj::object> doc = json::parse_object(text);
    if (!doc || !_has_bundle_fields(*doc)) return std::nullopt;
    Bundle bundle;
    std::string model = json::write(doc->at("model"));
    if (XGBoosterLoadModelFromBuffer(bundle.model.handle(), model.data(), model.size()) != 0) return std::nullopt;
    _single_thread(bundle.model);
    bundle.model_index = doc->at("model_index").get_object();
    bundle.tag_index = doc->at("tag_index").get_object();
    bundle.trained_at = json::as_number(doc->at("trained_at"), "trained_at");
    bundle.n_rows = static_cast<std::int64_t>(json::as_number(doc->at("n_rows"), "n_rows"));
    bundle.mae = json::as_number(doc->at("mae"), "mae");
    bundle.r2 = json::as_number(doc->at("r2"), "r2");
    return bundle;
}

std::optional<Bundle> _load_model() {
    std::error_code missing;
    if (!std::filesystem::exists(MODEL_PATH, missing)) return std::nullopt;
    try {
        return _decode_bundle(paths::read_file(MODEL_PATH));
    } catch (const std::exception&) {
        return std::nullopt;  // unreadable counts as no bundle
    }
}

std::int64_t _code_points(std::string_view text) {
    std::int64_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) {
        auto lead = static_cast<unsigned char>(text[i]);
        std::size_t len = lead < 0x80           ? 1
                          : (lead >> 5) == 0x6  ? 2
                          : (lead >> 4) == 0xE  ? 3
                          : (lead >> 3) == 0x1E ? 4
                                                : 0;
        bool valid = len > 0 && i + len <= text.size();
        for (std::size_t k = 1; valid && k < len; ++k) valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        i += valid ? len : 1;
    }
    return count;
}

std::optional<double> predict(std::string_view model_id, std::string_view prompt_text, std::string_view tag,
                              std::optional<double> ts) {
    std::optional<Bundle> bundle = _load_model();
    if (!bundle) return std::nullopt;
    MODEL_INDEX = bundle->model_index;
    TAG_INDEX = bundle->tag_index;
    double when = (!ts || *ts == 0) ? store::now() : *ts;
    Features f = _featurize(model_id, _code_points(prompt_text), tag, when);
    std::vector<float> X;
    _append(X, f);
    try {
        double cost = _predict_rows(bundle->model, X).at(0);
        return cost < 0 ? 0.0 : cost;
    } catch (const std::exception& e) {
        _log()->warn("Prediction failed: {}", e.what());
        return std::nullopt;
    }
}

std::optional<bj::object> model_info() {
    std::optional<Bundle> bundle = _load_model();
    if (!bundle) return std::nullopt;
    return _info(*bundle);
}

std::vector<double> _feature_importances(const Booster& model) {
    bst_ulong n = 0, dim = 0;
    const char** names = nullptr;
    const bst_ulong* shape = nullptr;
    const float* scores = nullptr;
    _check(XGBoosterFeatureScore(model.handle(), R"({"importance_type": "gain"})", &n, &names, &dim, &shape, &scores),
           "cannot read the feature importances");
    // Scores come only for features the trees split on, named f<column>.
    std::vector<float> gain(N_FEATURES, 0.0f);
    for (bst_ulong i = 0; i < n; ++i) {
        std::size_t column = std::stoul(std::string(names[i]).substr(1));
        if (column < N_FEATURES) gain[column] = scores[i];
    }
    float total = std::accumulate(gain.begin(), gain.end(), 0.0f);
    std::vector<double> importances(N_FEATURES, 0.0);
    // A model without a single split has no importances to share out.
    if (total > 0)
        for (std::size_t i = 0; i < N_FEATURES; ++i) importances[i] = gain[i] / total;
    return importances;
}

std::vector<std::string> _importance_lines(const std::vector<double>& importances) {
    if (importances.size() != N_FEATURES)
        throw std::invalid_argument(
            fmt::format("expected {} feature importances, got {}", N_FEATURES, importances.size()));
    std::vector<std::size_t> order(N_FEATURES);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return importances[a] > importances[b]; });
    std::vector<std::string> lines;
    for (std::size_t i : order)
        lines.push_back(
            fmt::format("    {:<20} {:.4f}  {}", FEATURE_NAMES[i], importances[i], _blocks(importances[i])));
    return lines;
}

void prediction_report(std::ostream& out) {
    std::optional<Bundle> bundle = _load_model();
    if (!bundle) {
        out << "\n  No trained model found. Run: tokentally train\n\n";
        return;
    }
    bj::object info = _info(*bundle);
    std::vector<std::string> lines = _importance_lines(_feature_importances(bundle->model));
    out << "\ntokentally predictor\n\n";
    out << fmt::format("  trained:   {}\n", json::display(info.at("trained_at")));
    out << fmt::format("  rows:      {}\n", json::display(info.at("n_rows")));
    out << fmt::format("  MAE:       ${:.8f}\n", bundle->mae);
    out << fmt::format("  R²:        {:.4f}\n", bundle->r2);
    out << fmt::format("  models:    {}  tags: {}\n", info.at("n_models").as_uint64(), info.at("n_tags").as_uint64());
    out << "\n  Feature importances:\n";
    for (const auto& line : lines) out << line << "\n";
    out << "\n";
}

}  // namespace tokentally::predictor
