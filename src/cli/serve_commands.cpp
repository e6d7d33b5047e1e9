// `tokentally serve` and `tokentally models`.
#include "cli/commands.hpp"

#include "tokentally/http/server.hpp"
#include "tokentally/logging.hpp"
#include "tokentally/proxy.hpp"

namespace tokentally::cli {

namespace {

void _add_serve(CLI::App& app) {
    auto opts = std::make_shared<http::ServerOptions>();
    auto* cmd = app.add_subcommand("serve", "Run the proxy until SIGINT/SIGTERM (loopback by default)");
    cmd->add_option("--host", opts->host, "Address to listen on")->capture_default_str();
    cmd->add_option("--port", opts->port, "Port to listen on")->capture_default_str();
    cmd->add_option("--workers", opts->workers, "Threads serving requests (0: one per core)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    cmd->callback([opts] {
        auto app_routes = proxy::make_app();
        http::serve_until_signal(app_routes, *opts);
    });
}

}  // namespace

void add_serve_commands(CLI::App& app) { _add_serve(app); }

}  // namespace tokentally::cli
