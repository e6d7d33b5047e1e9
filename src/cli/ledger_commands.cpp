// Read commands over the ledger, the alerts and the dashboard.
#include "cli/commands.hpp"

namespace tokentally::cli {

void add_ledger_commands(CLI::App&) {}

}  // namespace tokentally::cli
