// Per-test scratch state: a fresh HOME and data directory with the store in
// it, log capture and direct reads of the ledger file.
#pragma once

#include "tokentally/store/store.hpp"

#include <SQLiteCpp/SQLiteCpp.h>
#include <spdlog/sinks/ostream_sink.h>
#include <boost/json.hpp>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tt_test {

// Points HOME and TOKENTALLY_DATA_DIR at fresh directories named after the
// running test.
struct Scratch {
    Scratch();
    std::string root;
    std::string home;
    std::string data;
    std::string db_path() const { return data + "/ledger.db"; }
    // Writes $HOME/.tokentally.toml.
    void write_config(const std::string& toml) const;
};

// The store in the data directory of the running test (its default place).
std::shared_ptr<tokentally::store::Store> store();

// The current row of `stmt` as an object from result column name (aliases
// included) to value, keeping SQLite's types (NULL becomes null).
boost::json::object row_record(SQLite::Statement& stmt);

// Every remaining row of `stmt` as records, in the statement's order.
boost::json::array all_records(SQLite::Statement& stmt);

// All rows of `sql` on the database at `path`, as records; none when the
// file does not exist.
boost::json::array query(const std::string& path, const std::string& sql);

// Captures the lines of every tokentally logger while alive, as
// "<level> <logger>: <message>".
struct LogCapture {
    LogCapture();
    ~LogCapture();
    std::string text() const;
    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }
    std::vector<std::string> lines() const;
    std::ostringstream out;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink;
};

// Reads a whole file; empty when missing.
std::string read_file(const std::string& path);

// Runs a shell command and returns its standard output and exit status.
struct CommandResult {
    int status = -1;
    std::string out;
};
CommandResult run(const std::string& command);

// Polls `done` every 10 ms until it holds or `limit` has passed. The limit
// is only there so that a fault fails instead of hanging: a loaded machine
// may take seconds for what takes milliseconds on a quiet one.
template <class Pred>
bool eventually(Pred done, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace tt_test
