// Sub-commands of the tokentally executable, grouped by the module they
// front. Each add_* function registers its commands on the app.
#pragma once

#include "tokentally/store/store.hpp"

#include <CLI/CLI.hpp>

#include <memory>

namespace tokentally::cli {

// The store every command works on: the ledger where it lives by default.
inline std::shared_ptr<store::Store> open_store() { return store::open(store::default_location()); }

void add_serve_commands(CLI::App& app);      // serve, models
void add_ledger_commands(CLI::App& app);     // summary, recent, spend, history, sessions, session, tui
void add_alerts_commands(CLI::App& app);     // alerts
void add_predictor_commands(CLI::App& app);  // advise, train, predict, report
void add_prices_commands(CLI::App& app);     // prices, prices import
void add_info_commands(CLI::App& app);       // --version, paths
void add_reconcile_commands(CLI::App& app);  // reconcile

// Exit status of a command that failed (after its message on stderr).
inline constexpr int EXIT_FAILURE_STATUS = 1;
// Exit status of a usage error.
inline constexpr int EXIT_USAGE = 2;

// Thrown by a command that has printed its report and ends with a status
// of its own (reconcile's 3 for cron); main exits with it.
struct ExitStatus {
    int code;
};

}  // namespace tokentally::cli
