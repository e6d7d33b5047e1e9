// Recording calls: the schema, its migration and the rows written.
#include "support/scratch.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/ledger/ledger.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace ledger = tokentally::ledger;
namespace json = tokentally::json;

TEST(Ledger, FirstRecordCreatesDirectoryFileTableAndIndexes) {
    tt_test::Scratch s;
    ASSERT_FALSE(std::filesystem::exists(s.data));
    ledger::CallRecord rec;
    rec.model_id = "openai/gpt-4o";
    rec.prompt_tokens = 10;
    rec.completion_tokens = 5;
    rec.cost_usd = 0.000075;
    rec.elapsed_s = 1.25;
    rec.status = 200;
    ledger::record_call(*ledger::make_writer(tt_test::store()), rec);
    auto rows = tt_test::query(s.db_path(), "SELECT * FROM calls");
    ASSERT_EQ(rows.size(), 1u);
    const auto& row = rows[0].as_object();
    EXPECT_EQ(row.at("id"), 1);
    EXPECT_EQ(row.at("model_id"), "openai/gpt-4o");
    EXPECT_EQ(row.at("tag"), "default");
    EXPECT_EQ(row.at("session_id"), "default");
    EXPECT_EQ(row.at("prompt_tokens"), 10);
    EXPECT_DOUBLE_EQ(row.at("cost_usd").as_double(), 0.000075);
    EXPECT_EQ(row.at("status"), 200);
    EXPECT_EQ(row.at("streamed"), 0);
    auto indexes = tt_test::query(s.db_path(),
                                  "SELECT name FROM sqlite_master WHERE type = 'index' AND name IN "
                                  "('idx_calls_model', 'idx_calls_session', 'idx_calls_tag', 'idx_calls_ts')");
    EXPECT_EQ(indexes.size(), 4u);
}

TEST(Ledger, NullsAndStreamedFlagAreStoredAsGiven) {
    tt_test::Scratch s;
    ledger::CallRecord rec;
    rec.tag = "proj";
    rec.session_id = "s-1";
    rec.elapsed_s = 0.5;
    rec.status = 200;
    rec.streamed = true;
    ledger::record_call(*ledger::make_writer(tt_test::store()), rec);
    auto row = tt_test::query(s.db_path(), "SELECT * FROM calls")[0].as_object();
    for (const char* col : {"model_id", "prompt_tokens", "completion_tokens", "cost_usd"})
        EXPECT_TRUE(row.at(col).is_null()) << col;
    EXPECT_EQ(row.at("streamed"), 1);
    EXPECT_EQ(row.at("tag"), "proj");
}

TEST(Ledger, OldTableGainsSessionColumnAndInitIsRepeatable) {
    tt_test::Scratch s;
    std::filesystem::create_directories(s.data);
    {
        SQLite::Database conn(s.db_path(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        conn.exec(
            "CREATE TABLE calls (id INTEGER PRIMARY KEY AUTOINCREMENT, ts REAL NOT NULL, model_id TEXT, "
            "tag TEXT DEFAULT 'default', prompt_tokens INTEGER, completion_tokens INTEGER, cost_usd REAL, "
            "elapsed_s REAL, status INTEGER, streamed INTEGER DEFAULT 0)");
        conn.exec("INSERT INTO calls (ts, model_id) VALUES (1.0, 'old')");
    }
    ledger::init_db(*tt_test::store());
    ledger::init_db(*tt_test::store());
    auto rows = tt_test::query(s.db_path(), "SELECT model_id, session_id FROM calls");
    EXPECT_EQ(json::write(rows), R"([{"model_id": "old", "session_id": "default"}])");
}

TEST(Ledger, FailedInsertLeavesNoRowAndPropagates) {
    tt_test::Scratch s;
    ledger::init_db(*tt_test::store());
    {
        SQLite::Database conn(s.db_path(), SQLite::OPEN_READWRITE);
        conn.exec("CREATE TRIGGER refuse BEFORE INSERT ON calls BEGIN SELECT RAISE(ABORT, 'disk says no'); END");
    }
    ledger::CallRecord rec;
    rec.status = 200;
    EXPECT_THROW(ledger::record_call(*ledger::make_writer(tt_test::store()), rec), std::exception);
    EXPECT_EQ(tt_test::query(s.db_path(), "SELECT COUNT(*) AS n FROM calls")[0].at("n"), 0);
}
