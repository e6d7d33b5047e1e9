// The file layer the store's connections open the ledger through: the
// system's own, with each write-ahead log frame written in one call.
#pragma once

namespace tokentally::store::sqlite {

inline constexpr const char* FRAME_JOINING_VFS = "tokentally-frames";

// Registers the layer with SQLite on first use; returns its name.
const char* frame_joining_vfs();

}  // namespace tokentally::store::sqlite
