// The file layer the store's connections open the ledger through: the
// system's own, with each commit's write-ahead log frames written in one call.
#pragma once

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>

namespace tokentally::store::sqlite {

inline constexpr const char* FRAME_JOINING_VFS = "tokentally-frames";

// Registers the layer with SQLite on first use; returns its name.
const char* frame_joining_vfs();

// What a ledger's write-ahead log index said when last looked at, for a
// process that keeps its spend in memory: its own commits (those it tells
// the spend's listeners about) move it along, so that a reader can tell a
// change by anyone else from its index alone, without a read transaction
// (four locks and a page read per look).
struct LogIndexAccount {
    std::mutex mu;
    std::array<unsigned char, 48> header{};
    bool known = false;
    std::uint64_t foreign = 0;  // changes by others seen so far
};

// While one is alive on a thread, the commits it makes through this layer
// are the account's own. Nests (inner ones do nothing).
struct OwnCommits {
    explicit OwnCommits(LogIndexAccount& account);
    ~OwnCommits();
    OwnCommits(const OwnCommits&) = delete;
    OwnCommits& operator=(const OwnCommits&) = delete;
    LogIndexAccount* outer;
};

// A count that moves whenever the log index of the ledger open on `db`
// shows a change that is not the account's own (a false alarm now and then:
// an index read while being written). nullopt when it cannot be told: the
// connection is not through this layer or has no log index mapped yet.
std::optional<std::uint64_t> foreign_changes(sqlite3* db, LogIndexAccount& account);

}  // namespace tokentally::store::sqlite
