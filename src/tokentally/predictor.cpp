// The predictor module.
namespace tokentally::predictor {}
