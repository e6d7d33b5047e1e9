// `tokentally serve` and `tokentally models`.
#include "cli/commands.hpp"
#include "cli/output.hpp"

#include "tokentally/base/logging.hpp"
#include "tokentally/base/paths.hpp"
#include "tokentally/http/server.hpp"
#include "tokentally/http/trust.hpp"
#include "tokentally/proxy/local.hpp"
#include "tokentally/proxy/proxy.hpp"
#include "tokentally/views/dashboard.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/use_future.hpp>

#include <cstdlib>
#include <iostream>

namespace tokentally::cli {

namespace {

// For tests only: with TOKENTALLY_TEST_TREAT_AS_NETWORK=1 a loopback address
// (127.0.0.2 in the tests) is served as an address other machines reach, so
// that the checks of an exposed server can be tried without listening
// beyond this machine. It can only add checks, never remove one.
constexpr const char* TEST_AS_NETWORK = "TOKENTALLY_TEST_TREAT_AS_NETWORK";

bool _exposed(const std::string& host) {
    const char* as_network = std::getenv(TEST_AS_NETWORK);
    return !http::loopback_address(host) || (as_network != nullptr && std::string_view(as_network) == "1");
}

// What a server reachable from elsewhere lets through, said once at start.
void _announce(const http::ServerOptions& opts, const access::Access& policy, bool exposed) {
    auto log = logging::get("tokentally.proxy");
    if (exposed && policy.keys.empty())
        log->warn(
            "Listening on {}: anyone who can reach port {} can spend through this proxy with the keys its "
            "clients send; set [proxy] client_keys_file to require a key of every caller",
            opts.host, opts.port);
    const char* admin = std::getenv(dashboard::ADMIN_TOKEN_ENV);
    if (exposed && (admin == nullptr || *admin == '\0')) log->warn("{}", dashboard::NO_TOKEN_DETAIL);
    if (exposed || policy.targets || !policy.keys.empty())
        log->info("Listening on {}: {}", opts.host, access::describe(policy));
}

// The listener binds an address, not a name; "localhost" is taken to mean
// the loopback address. Anything else is refused here, with the value,
// rather than by the socket with "Invalid argument".
std::string _ip_address(std::string& host) {
    if (host == "localhost") host = "127.0.0.1";
    boost::system::error_code ec;
    boost::asio::ip::make_address(host, ec);
    return ec ? "not an IP address (such as 127.0.0.1 or 0.0.0.0): " + host : "";
}

// A limit of the server: a positive number, its default shown in the help.
template <class T>
void _positive(CLI::App* cmd, const std::string& name, T& target, const std::string& help) {
    cmd->add_option(name, target, help)->capture_default_str()->check(CLI::PositiveNumber);
}

void _add_serve(CLI::App& app) {
    auto opts = std::make_shared<http::ServerOptions>();
    auto idle = std::make_shared<long>(opts->idle_timeout.count());
    auto write = std::make_shared<long>(opts->write_timeout.count());
    auto* cmd = app.add_subcommand("serve", "Run the proxy until SIGINT/SIGTERM (loopback by default)");
    cmd->add_option("--host", opts->host, "Address to listen on")
        ->capture_default_str()
        ->transform(CLI::Validator(_ip_address, "IP", "IP address"));
    cmd->add_option("--port", opts->port, "Port to listen on")->capture_default_str();
    cmd->add_option("--workers", opts->workers, "Threads serving requests (0: one per core)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    _positive(cmd, "--max-body-bytes", opts->body_limit, "Largest request body accepted (larger: 413)");
    _positive(cmd, "--max-header-bytes", opts->header_limit, "Largest request head accepted (larger: 431)");
    _positive(cmd, "--max-header-count", opts->header_count_limit, "Most header fields in a request (more: 431)");
    _positive(cmd, "--max-connections", opts->max_connections, "Open client connections served at once (more: 503)");
    _positive(cmd, "--idle-timeout", *idle, "Seconds a client connection may wait between requests");
    _positive(cmd, "--write-timeout", *write, "Seconds a client may take to read each part of an answer");
    cmd->callback([opts, idle, write] {
        opts->idle_timeout = std::chrono::seconds(*idle);
        opts->write_timeout = std::chrono::seconds(*write);
        bool exposed = _exposed(opts->host);
        auto policy = proxy::load_access(!exposed);
        opts->allowed_hosts = policy->allowed_hosts;
        _announce(*opts, *policy, exposed);
        logging::gather_console_lines();
        auto app_routes = proxy::make_app(open_store(), policy);
        paths::Serving serving;  // from here on, files are looked at anew once per request
        http::serve_until_signal(app_routes, *opts);
    });
}

// Asks the Ollama server directly; when it is down the list is empty and
// the command prints nothing, which is not an error.
void _add_models(CLI::App& app) {
    auto as_json = std::make_shared<bool>(false);
    auto* cmd = app.add_subcommand("models", "List the models of the local Ollama server, one per line");
    cmd->add_flag("--json", *as_json, "Print the names as one JSON array");
    cmd->callback([as_json] {
        boost::asio::io_context ioc;
        auto listed = boost::asio::co_spawn(ioc, local::list_local_models(), boost::asio::use_future);
        ioc.run();
        std::vector<std::string> names = listed.get();
        if (*as_json) {
            print_json(boost::json::value_from(names));
            return;
        }
        for (const auto& name : names) std::cout << name << '\n';
    });
}

}  // namespace

void add_serve_commands(CLI::App& app) {
    _add_serve(app);
    _add_models(app);
}

}  // namespace tokentally::cli
