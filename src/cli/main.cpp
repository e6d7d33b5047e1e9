// The tokentally command line: the proxy server and the ledger's tools.
#include "cli/commands.hpp"

#include <iostream>

// Read by jemalloc (which the release build links) at its start: pages freed
// by a burst of calls go back to the system within a second or so of the
// allocator's next activity rather than ten, so a server at rest after a
// load holds about what it held before it; MALLOC_CONF still overrides.
extern "C" const char* malloc_conf;
const char* malloc_conf = "dirty_decay_ms:1000,muzzy_decay_ms:0";

int main(int argc, char** argv) {
    CLI::App app{"tokentally: a local cost-control proxy for LLM APIs, and tools over its ledger"};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Show help for every command");
    tokentally::cli::add_serve_commands(app);
    tokentally::cli::add_ledger_commands(app);
    tokentally::cli::add_alerts_commands(app);
    tokentally::cli::add_predictor_commands(app);
    tokentally::cli::add_prices_commands(app);
    tokentally::cli::add_info_commands(app);
    tokentally::cli::add_reconcile_commands(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const tokentally::cli::ExitStatus& e) {
        return e.code;
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return tokentally::cli::EXIT_USAGE;
    } catch (const std::exception& e) {
        std::cerr << "tokentally: " << e.what() << '\n';
        return tokentally::cli::EXIT_FAILURE_STATUS;
    }
    return 0;
}
