// A throw-away PostgreSQL cluster for the tests that need a server: made by
// initdb in a temporary directory and run by pg_ctl on a Unix socket there
// only (no TCP port), as `nobody` when the tests run as root (the server
// refuses root). It starts on first use and stops when the test program
// exits; a watchdog process stops it and removes the directory when the
// program dies instead (a crash, a kill), so no test leaves one running.
#pragma once

#include <optional>
#include <string>

namespace tt_test {

// Where the server binaries are looked for: $TOKENTALLY_PG_BINDIR, else
// Debian's /usr/lib/postgresql/15/bin.
std::string pg_bindir();

// Why a PostgreSQL test cannot run here (the server binaries are missing),
// or none when it can.
std::optional<std::string> pg_unavailable();

// The URL of a new empty database on the cluster (started on first use).
// Throws when the cluster cannot be made or started.
std::string pg_database();

// Stops and starts the running cluster (fast shutdown: sessions are cut as
// in a server restart), for the outage tests.
void pg_stop();
void pg_start();

// Runs `sql` on the database of `url` with psql; its output (unaligned,
// tuples only). Throws when psql fails.
std::string pg_query(const std::string& url, const std::string& sql);

}  // namespace tt_test
