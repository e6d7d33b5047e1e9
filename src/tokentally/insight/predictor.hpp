// The cost predictor: a gradient-boosted regression of a call's cost on
// what is known before the call is sent (model, prompt length, tag, time),
// trained from the ledger and kept in one model bundle file.
#pragma once

#include "tokentally/store/store.hpp"

#include <boost/json.hpp>

#include <array>
#include <cstdint>
#include <iostream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tokentally::predictor {

namespace bj = boost::json;

// Path of the model bundle, computed when the library loads; a caller (a
// test) may point it elsewhere.
extern std::string MODEL_PATH;

// Fewest usable ledger rows with which training runs.
inline constexpr std::size_t MIN_ROWS = 20;

// Model id -> index and tag -> index of the training run whose encoding is
// in force: replaced by every training run and by every prediction.
extern bj::object MODEL_INDEX;
extern bj::object TAG_INDEX;

inline constexpr std::size_t N_FEATURES = 7;
inline constexpr std::array<std::string_view, N_FEATURES> FEATURE_NAMES = {
    "model_id", "prompt_length", "tag", "hour_of_day", "day_of_week", "token_ratio", "log_prompt_len"};

using Features = std::array<double, N_FEATURES>;

// Owns one XGBoost booster handle.
class Booster {
public:
    Booster();
    // A booster that trains on `train_matrix` (a DMatrixHandle).
    explicit Booster(void* train_matrix);
    ~Booster();
    Booster(Booster&& other) noexcept;
    Booster& operator=(Booster&& other) noexcept;
    Booster(const Booster&) = delete;
    Booster& operator=(const Booster&) = delete;
    void* handle() const { return handle_; }

private:
    void* handle_ = nullptr;
};

// Everything prediction needs, as one training run left it.
struct Bundle {
    Booster model;
    bj::object model_index;
    bj::object tag_index;
    double trained_at = 0.0;
    std::int64_t n_rows = 0;
    double mae = 0.0;
    double r2 = 0.0;
};

// The feature vector of one call. Hour and weekday (Monday 0) are those of
// `ts` in local time. Throws when `ts` cannot be broken down.
Features _featurize(std::string_view model_id, std::int64_t prompt_len, std::string_view tag, double ts,
                    std::optional<std::int64_t> completion_tokens = std::nullopt,
                    std::optional<std::int64_t> prompt_tokens = std::nullopt);

// The row indexes of the held-out part: ceil(n / 5) rows of a shuffle
// seeded with 42, so the same rows always split the same way. The rest
// train.
std::pair<std::vector<std::size_t>, std::vector<std::size_t>> _split(std::size_t n);

// Trains on the ledger of `store` and writes the bundle. True when a bundle was
// written; every failure is logged and gives false. `force` changes
// nothing: every call trains.
bool train(store::Store& store, bool force = false);

// The bundle's document form and back. _decode_bundle gives nothing for a
// text that is not a complete bundle.
std::string _encode_bundle(const Bundle& bundle);
std::optional<Bundle> _decode_bundle(std::string_view text);

// The bundle at MODEL_PATH, read afresh, or nothing when there is none or
// the file is not a bundle.
std::optional<Bundle> _load_model();

// Number of code points of `text`; a byte that does not start a valid UTF-8
// sequence counts as one.
std::int64_t _code_points(std::string_view text);

// Predicted cost in US dollars (never below 0), or nothing without a
// bundle or when the model fails. ts absent or 0 means now.
std::optional<double> predict(std::string_view model_id, std::string_view prompt_text, std::string_view tag = "default",
                              std::optional<double> ts = std::nullopt);

// trained_at (local "%Y-%m-%d %H:%M"), n_rows, mae, r2, n_models, n_tags;
// nothing without a bundle.
std::optional<bj::object> model_info();

// The model's "gain" importances, one per feature in feature order,
// normalised to sum to 1; a feature the trees never split on has 0.
std::vector<double> _feature_importances(const Booster& model);

// The importance lines of the report, largest first.
std::vector<std::string> _importance_lines(const std::vector<double>& importances);

// Writes the report (figures and feature importances) to `out`.
void prediction_report(std::ostream& out = std::cout);

}  // namespace tokentally::predictor
