// `tokentally alerts`.
#include "cli/commands.hpp"

namespace tokentally::cli {

void add_alerts_commands(CLI::App&) {}

}  // namespace tokentally::cli
