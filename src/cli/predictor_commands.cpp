// The advisor and the cost predictor.
#include "cli/commands.hpp"

namespace tokentally::cli {

void add_predictor_commands(CLI::App&) {}

}  // namespace tokentally::cli
