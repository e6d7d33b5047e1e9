// Seeded ledgers for the micro-benchmarks: `rows` calls spread evenly over the
// last 30 days (4 models, 5 tags, 100 sessions), built once per size under
// `dir` and reused by later runs, so that every benchmark reads the same data.
// Rows go in in time order, as the proxy appends them: a ledger whose ids and
// times disagree would make every window read jump across the whole file.
#pragma once

#include "tokentally/store/store.hpp"

#include <SQLiteCpp/SQLiteCpp.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

#include <unistd.h>

namespace tt_bench {

inline std::filesystem::path seeded_ledger(const std::filesystem::path& dir, std::int64_t rows) {
    // Named anew whenever what a seed holds changes, so that a seed left by an
    // earlier run is not taken for a current one.
    std::filesystem::path file = dir / ("ledger_" + std::to_string(rows) + ".db");
    if (std::filesystem::exists(file)) return file;
    std::filesystem::create_directories(dir);
    // The store's schema, then the rows straight into the file: a million
    // rows in one transaction.
    tokentally::store::open(file.string())->calls().init();
    SQLite::Database conn(file.string(), SQLite::OPEN_READWRITE);
    SQLite::Transaction tx(conn);
    SQLite::Statement insert(conn,
                             "INSERT INTO calls (ts, model_id, tag, session_id, prompt_tokens, completion_tokens, "
                             "cost_usd, elapsed_s, status, streamed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, 200, 0)");
    std::mt19937 rng(7);
    const char* models[] = {"openai/gpt-4o", "openai/gpt-4o-mini", "anthropic/claude-sonnet-4", "google/gemini-2.0-flash"};
    double now = tokentally::store::now();
    const double span = 30 * 86400.0;
    for (std::int64_t i = 0; i < rows; ++i) {
        insert.bind(1, now - span + span * static_cast<double>(i) / static_cast<double>(rows));
        insert.bind(2, models[rng() % 4]);
        insert.bind(3, "tag" + std::to_string(rng() % 5));
        insert.bind(4, "s-" + std::to_string(rng() % 100));
        insert.bind(5, static_cast<int>(100 + rng() % 2000));
        insert.bind(6, static_cast<int>(10 + rng() % 500));
        insert.bind(7, 1e-7 * static_cast<double>(rng() % 1000));
        insert.bind(8, 0.5);
        insert.exec();
        insert.reset();
    }
    tx.commit();
    // The benchmarks copy the file alone: everything must be in it, not in
    // its write-ahead log.
    conn.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    // A fresh seed is a few hundred MB of dirty pages: written back while the
    // benchmarks run, it would slow the first ones down.
    ::sync();
    return file;
}

}  // namespace tt_bench
