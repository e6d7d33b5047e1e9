// The package directory (where the tokentally shared libraries live) and its
// data directory, the home of ledger.db and the predictor's model bundle.
#pragma once

#include <string>

namespace tokentally::paths {

// Directory holding the tokentally shared libraries, found with dladdr.
std::string package_dir();

// $TOKENTALLY_DATA_DIR when set and non-empty, else package_dir() + "/data".
std::string data_dir();

// data_dir() + "/" + name: the one rule every module derives its paths by.
std::string data_file(const std::string& name);

// Creates the directory holding `file_path` when missing (that one level
// only, not its parents). Throws when it cannot be created.
void ensure_parent_dir(const std::string& file_path);

// The whole content of the file at `path`. Throws naming the path (and the
// system's reason) when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace tokentally::paths
