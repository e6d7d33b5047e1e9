// A busy team's ledger for the read-side benchmarks: `rows` calls spread
// over the last `days` days (10M over 36 days is about 280k a day, three
// calls a second), written straight into `path` in time order. Half the
// calls carry no session id (each a session of its own, as the proxy names
// them), half belong to agent sessions of 10 to 80 calls, twenty of them
// running at any time; 4 models, 5 tags, 1 % errors.
//
//   seed_team ROWS DAYS PATH
#include "tokentally/store/store.hpp"

#include <SQLiteCpp/SQLiteCpp.h>
#include <fmt/format.h>

#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: seed_team ROWS DAYS PATH\n";
        return 2;
    }
    const long long rows = std::atoll(argv[1]);
    const double span = std::atof(argv[2]) * 86400.0;
    const std::string path = argv[3];
    tokentally::store::open(path)->calls().init();
    SQLite::Database conn(path, SQLite::OPEN_READWRITE);
    conn.exec("PRAGMA synchronous=OFF");
    SQLite::Transaction tx(conn);
    SQLite::Statement insert(conn,
                             "INSERT INTO calls (ts, model_id, tag, session_id, prompt_tokens, completion_tokens, "
                             "cost_usd, elapsed_s, status, streamed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, 0)");
    std::mt19937_64 rng(11);
    const char* models[] = {"openai/gpt-4o", "openai/gpt-4o-mini", "anthropic/claude-sonnet-4", "google/gemini-2.0-flash"};
    struct Agent {
        std::string id;
        int left;
    };
    std::vector<Agent> agents;
    long long next_agent = 0;
    auto new_agent = [&] { return Agent{fmt::format("agent-{}", next_agent++), 10 + static_cast<int>(rng() % 71)}; };
    for (int i = 0; i < 20; ++i) agents.push_back(new_agent());
    const double now = tokentally::store::now();
    for (long long i = 0; i < rows; ++i) {
        insert.bind(1, now - span + span * static_cast<double>(i) / static_cast<double>(rows));
        insert.bind(2, models[rng() % 4]);
        insert.bind(3, fmt::format("team{}", rng() % 5));
        if (rng() % 2 == 0) {
            insert.bind(4, fmt::format("s-{:08x}", static_cast<std::uint32_t>(rng())));
        } else {
            Agent& a = agents[rng() % agents.size()];
            insert.bind(4, a.id);
            if (--a.left == 0) a = new_agent();
        }
        int prompt = 100 + static_cast<int>(rng() % 4000), completion = 10 + static_cast<int>(rng() % 800);
        insert.bind(5, prompt);
        insert.bind(6, completion);
        insert.bind(7, (prompt * 2.5 + completion * 10.0) / 1e6);
        insert.bind(8, 0.2 + static_cast<double>(rng() % 5000) / 1000.0);
        insert.bind(9, rng() % 100 == 0 ? 500 : 200);
        insert.exec();
        insert.reset();
    }
    tx.commit();
    conn.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    return 0;
}
