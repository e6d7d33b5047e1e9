// The user's settings: $HOME/.tokentally.toml read into a JSON object.
#pragma once

#include <boost/json.hpp>

#include <memory>
#include <optional>
#include <string>

namespace tokentally::config {

// Path of the configuration file: $HOME/.tokentally.toml.
std::string config_path();

// Loads the configuration as a mapping of tables. A missing file is an empty
// object. A syntax error throws std::runtime_error naming the file, line and
// column; an unreadable file throws naming the file and the reason.
boost::json::object load();

// load() without the copy, for the paths that consult the configuration on
// every proxied call. The object is never changed; a later edit of the file
// gives a new one.
std::shared_ptr<const boost::json::object> load_shared();

// The URL of a shared ledger: TOKENTALLY_LEDGER_URL when set and not empty
// (the environment wins), else `[ledger] url`; none without either. Throws
// naming the key when `url` is not a string.
std::optional<std::string> ledger_url();

// `[ledger] synchronous`: "normal" (the default, also when absent) or
// "full". Throws naming the key for anything else.
std::string ledger_synchronous();

// Parses TOML text (named `source` in error messages) into a JSON object.
boost::json::object parse(std::string_view text, const std::string& source);

}  // namespace tokentally::config
