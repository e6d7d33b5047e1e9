// `tokentally --version` and `tokentally paths`: which tokentally runs, and
// where it keeps and reads what it uses.
#include "cli/commands.hpp"
#include "cli/output.hpp"

#include "tokentally/base/config.hpp"
#include "tokentally/base/paths.hpp"
#include "tokentally/http/client.hpp"
#include "tokentally/proxy/proxy.hpp"

#include <fmt/format.h>

#include <filesystem>
#include <iostream>
#include <memory>

namespace tokentally::cli {

namespace {

namespace bj = boost::json;

// The ledger the commands open; a shared ledger's URL is shown without its
// user information, where a password may be.
std::string _ledger() {
    std::string where = store::default_location();
    return where == store::local_location() ? where : http::redact_url(where);
}

bj::object _paths() {
    std::string config_file = config::config_path();
    std::error_code ec;
    return {{"version", proxy::VERSION},
            {"package_dir", paths::package_dir()},
            {"installed", paths::installed()},
            {"data_dir", paths::data_dir()},
            {"config_file", config_file},
            {"config_file_exists", std::filesystem::exists(config_file, ec)},
            {"ledger", _ledger()}};
}

void _print_paths(const bj::object& p) {
    auto line = [](std::string_view name, std::string_view value) {
        std::cout << fmt::format("{:<15}{}\n", name, value);
    };
    line("version", p.at("version").as_string());
    line("package", fmt::format("{} ({})", std::string_view(p.at("package_dir").as_string()),
                                p.at("installed").as_bool() ? "installed" : "build tree"));
    line("data", p.at("data_dir").as_string());
    line("configuration", fmt::format("{}{}", std::string_view(p.at("config_file").as_string()),
                                      p.at("config_file_exists").as_bool() ? "" : " (not present)"));
    line("ledger", p.at("ledger").as_string());
}

}  // namespace

void add_info_commands(CLI::App& app) {
    app.set_version_flag("--version", "tokentally " + std::string(proxy::VERSION), "Print the version and exit");
    auto as_json = std::make_shared<bool>(false);
    auto* cmd = app.add_subcommand(
        "paths", "Print the version, the package and data directories, the configuration file and the ledger in use");
    cmd->add_flag("--json", *as_json, "Print them as one JSON object");
    cmd->callback([as_json] {
        bj::object p = _paths();
        if (*as_json)
            print_json(p);
        else
            _print_paths(p);
    });
}

}  // namespace tokentally::cli
