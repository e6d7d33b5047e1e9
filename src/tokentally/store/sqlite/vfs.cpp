#include "tokentally/store/sqlite/vfs.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace tokentally::store::sqlite {

namespace {

// SQLite appends a frame to the write-ahead log as two writes: its 24-byte
// header, then the page right behind it; a commit of six pages is twelve
// writes, and each write is a system call, most of what an insert costs on a
// virtual machine. This layer over the system's own file layer holds a run
// of frames back, from a frame header on, while the writes continue it, and
// writes the run in one call when the commit's last frame (the one whose
// header carries the database's size) is complete. Nothing else changes:
// the bytes, their place on disk and every other call are the system
// layer's own, and a held run is written out before anything else touches
// the file. Since the run goes out in the write of the commit's last page,
// a failure to write it fails that write, and the commit with it, as it
// would have without this layer; other processes cannot see the frames
// before the index says they are there, which SQLite changes after the
// commit's writes returned.
constexpr int FRAME_HEADER_BYTES = 24;

// A run longer than this (a big transaction's frames) goes out anyway.
constexpr std::size_t RUN_LIMIT = 1 << 20;

// The system layer writes at most this much in one call: it masks the
// length to 17 bits, and a write it cuts to nothing fails as a full disk.
constexpr std::size_t MAX_WRITE_BYTES = (1 << 17) - 1;

struct _File {
    sqlite3_file base;  // what SQLite sees: our methods
    sqlite3_file* real; // the system layer's file, allocated right behind this struct
    unsigned char* run = nullptr;  // held bytes, to be written at run_at
    std::size_t run_bytes = 0;
    std::size_t run_capacity = 0;
    sqlite3_int64 run_at = 0;
    bool commit_frame = false;  // the run's last header ends a commit
    void volatile* log_index = nullptr;       // the first region of the shared log index, once mapped
    LogIndexAccount* own_commit = nullptr;   // the account whose commit holds the write lock now
};

thread_local LogIndexAccount* _own_account = nullptr;

// SQLite's lock on writing to the log is the first of the index's locks.
constexpr int WRITE_LOCK = 0;
constexpr std::size_t LOG_HEADER_BYTES = 48;

// The index header, read as SQLite's readers read it: the second copy after
// the first, equal only when no writer was between them (a writer writes
// them in the other order).
bool _read_log_header(void volatile* region, std::array<unsigned char, LOG_HEADER_BYTES>& out) {
    auto* bytes = static_cast<volatile unsigned char*>(region);
    std::array<unsigned char, LOG_HEADER_BYTES> second;
    for (std::size_t i = 0; i < LOG_HEADER_BYTES; ++i) out[i] = bytes[i];
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    for (std::size_t i = 0; i < LOG_HEADER_BYTES; ++i) second[i] = bytes[LOG_HEADER_BYTES + i];
    return out == second;
}

sqlite3_vfs* _system() {
    static sqlite3_vfs* system = sqlite3_vfs_find(nullptr);
    return system;
}

sqlite3_file* _real(sqlite3_file* f) { return reinterpret_cast<_File*>(f)->real; }

// Writes out the held run, if any.
int _flush(sqlite3_file* f) {
    auto* file = reinterpret_cast<_File*>(f);
    if (file->run_bytes == 0) return SQLITE_OK;
    std::size_t bytes = std::exchange(file->run_bytes, 0);
    file->commit_frame = false;
    for (std::size_t done = 0; done < bytes;) {
        std::size_t amount = std::min(bytes - done, MAX_WRITE_BYTES);
        int rc = file->real->pMethods->xWrite(file->real, file->run + done, static_cast<int>(amount),
                                              file->run_at + static_cast<sqlite3_int64>(done));
        if (rc != SQLITE_OK) return rc;
        done += amount;
    }
    return SQLITE_OK;
}

// Adds to the held run; false when it cannot grow.
bool _hold(_File* file, const void* data, int amount) {
    std::size_t need = file->run_bytes + static_cast<std::size_t>(amount);
    if (need > file->run_capacity) {
        std::size_t capacity = std::max<std::size_t>({need, 2 * file->run_capacity, 64 * 1024});
        auto* grown = static_cast<unsigned char*>(std::realloc(file->run, capacity));
        if (grown == nullptr) return false;
        file->run = grown;
        file->run_capacity = capacity;
    }
    std::memcpy(file->run + file->run_bytes, data, static_cast<std::size_t>(amount));
    file->run_bytes = need;
    return true;
}

// A frame header's second word is the database's size in pages after the
// commit the frame ends, zero for the other frames.
bool _ends_commit(const void* header) {
    const auto* b = static_cast<const unsigned char*>(header);
    return (b[4] | b[5] | b[6] | b[7]) != 0;
}

int _write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
    auto* file = reinterpret_cast<_File*>(f);
    bool continues = file->run_bytes > 0 && offset == file->run_at + static_cast<sqlite3_int64>(file->run_bytes);
    if (!continues) {
        if (int rc = _flush(f); rc != SQLITE_OK) return rc;
        if (amount != FRAME_HEADER_BYTES) return file->real->pMethods->xWrite(file->real, data, amount, offset);
        file->run_at = offset;
    }
    if (!_hold(file, data, amount)) {
        if (int rc = _flush(f); rc != SQLITE_OK) return rc;
        return file->real->pMethods->xWrite(file->real, data, amount, offset);
    }
    if (amount == FRAME_HEADER_BYTES) {
        file->commit_frame = _ends_commit(data);
        return SQLITE_OK;
    }
    if (file->commit_frame || file->run_bytes >= RUN_LIMIT) return _flush(f);
    return SQLITE_OK;
}

int _close(sqlite3_file* f) {
    int flushed = _flush(f);
    std::free(std::exchange(reinterpret_cast<_File*>(f)->run, nullptr));
    int rc = _real(f)->pMethods->xClose(_real(f));
    return flushed != SQLITE_OK ? flushed : rc;
}

// Every other method writes out a held run first, then is the system
// layer's own.
#define TT_FORWARD(name, params, args)                      \
    int _##name params {                                    \
        if (int rc = _flush(f); rc != SQLITE_OK) return rc; \
        return _real(f)->pMethods->name args;               \
    }

TT_FORWARD(xRead, (sqlite3_file * f, void* data, int amount, sqlite3_int64 offset), (_real(f), data, amount, offset))
TT_FORWARD(xTruncate, (sqlite3_file * f, sqlite3_int64 size), (_real(f), size))
TT_FORWARD(xSync, (sqlite3_file * f, int flags), (_real(f), flags))
TT_FORWARD(xFileSize, (sqlite3_file * f, sqlite3_int64* size), (_real(f), size))
TT_FORWARD(xLock, (sqlite3_file * f, int level), (_real(f), level))
TT_FORWARD(xUnlock, (sqlite3_file * f, int level), (_real(f), level))
TT_FORWARD(xCheckReservedLock, (sqlite3_file * f, int* out), (_real(f), out))
TT_FORWARD(xFileControl, (sqlite3_file * f, int op, void* arg), (_real(f), op, arg))
TT_FORWARD(xFetch, (sqlite3_file * f, sqlite3_int64 offset, int amount, void** out), (_real(f), offset, amount, out))
TT_FORWARD(xUnfetch, (sqlite3_file * f, sqlite3_int64 offset, void* page), (_real(f), offset, page))
#undef TT_FORWARD

int _shm_map(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    if (int rc = _flush(f); rc != SQLITE_OK) return rc;
    int rc = _real(f)->pMethods->xShmMap(_real(f), region, size, extend, out);
    if (rc == SQLITE_OK && region == 0 && *out != nullptr) reinterpret_cast<_File*>(f)->log_index = *out;
    return rc;
}

int _shm_unmap(sqlite3_file* f, int remove) {
    if (int rc = _flush(f); rc != SQLITE_OK) return rc;
    reinterpret_cast<_File*>(f)->log_index = nullptr;
    return _real(f)->pMethods->xShmUnmap(_real(f), remove);
}

// Taking the write lock for an account's own commit: the commit is the
// account's alone when the index is still what the account last knew.
void _taking_write_lock(_File* file) {
    LogIndexAccount* account = _own_account;
    if (account == nullptr || file->log_index == nullptr) return;
    std::array<unsigned char, LOG_HEADER_BYTES> now;
    bool read = _read_log_header(file->log_index, now);
    std::lock_guard lock(account->mu);
    if (read && account->known && now == account->header) file->own_commit = account;
}

// Giving it back: the index as the commit left it is known to the account.
void _giving_write_lock_back(_File* file) {
    LogIndexAccount* account = std::exchange(file->own_commit, nullptr);
    if (account == nullptr) return;
    std::array<unsigned char, LOG_HEADER_BYTES> now;
    bool read = _read_log_header(file->log_index, now);
    std::lock_guard lock(account->mu);
    account->known = read;
    if (read) account->header = now;
}

int _shm_lock(sqlite3_file* f, int offset, int n, int flags) {
    if (int rc = _flush(f); rc != SQLITE_OK) return rc;
    auto* file = reinterpret_cast<_File*>(f);
    bool write_lock = offset == WRITE_LOCK && (flags & SQLITE_SHM_EXCLUSIVE);
    if (write_lock && (flags & SQLITE_SHM_UNLOCK)) _giving_write_lock_back(file);
    int rc = file->real->pMethods->xShmLock(file->real, offset, n, flags);
    if (rc == SQLITE_OK && write_lock && (flags & SQLITE_SHM_LOCK)) _taking_write_lock(file);
    return rc;
}

int _sector_size(sqlite3_file* f) { return _real(f)->pMethods->xSectorSize(_real(f)); }
int _device_characteristics(sqlite3_file* f) { return _real(f)->pMethods->xDeviceCharacteristics(_real(f)); }

void _shm_barrier(sqlite3_file* f) {
    _flush(f);
    _real(f)->pMethods->xShmBarrier(_real(f));
}

// The methods of a file of ours, for a system file of method version
// `version` (the versions' methods are a prefix of each other).
sqlite3_io_methods _methods(int version) {
    sqlite3_io_methods m{};
    m.iVersion = version;
    m.xClose = _close;
    m.xRead = _xRead;
    m.xWrite = _write;
    m.xTruncate = _xTruncate;
    m.xSync = _xSync;
    m.xFileSize = _xFileSize;
    m.xLock = _xLock;
    m.xUnlock = _xUnlock;
    m.xCheckReservedLock = _xCheckReservedLock;
    m.xFileControl = _xFileControl;
    m.xSectorSize = _sector_size;
    m.xDeviceCharacteristics = _device_characteristics;
    if (version >= 2) {
        m.xShmMap = _shm_map;
        m.xShmLock = _shm_lock;
        m.xShmBarrier = _shm_barrier;
        m.xShmUnmap = _shm_unmap;
    }
    if (version >= 3) {
        m.xFetch = _xFetch;
        m.xUnfetch = _xUnfetch;
    }
    return m;
}

const sqlite3_io_methods* _methods_for(int version) {
    static const sqlite3_io_methods BY_VERSION[] = {_methods(1), _methods(2), _methods(3)};
    return &BY_VERSION[std::min(std::max(version, 1), 3) - 1];
}

bool _is_ours(sqlite3_file* f) {
    for (int version = 1; version <= 3; ++version)
        if (f->pMethods == _methods_for(version)) return true;
    return false;
}

int _open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* out_flags) {
    auto* file = reinterpret_cast<_File*>(f);
    file->base.pMethods = nullptr;
    file->real = reinterpret_cast<sqlite3_file*>(file + 1);
    file->run = nullptr;
    file->run_bytes = 0;
    file->run_capacity = 0;
    file->commit_frame = false;
    file->log_index = nullptr;
    file->own_commit = nullptr;
    int rc = _system()->xOpen(_system(), name, file->real, flags, out_flags);
    // SQLite calls xClose only on a file whose methods are set.
    if (file->real->pMethods != nullptr) file->base.pMethods = _methods_for(file->real->pMethods->iVersion);
    return rc;
}

sqlite3_vfs _make_vfs() {
    sqlite3_vfs vfs = *_system();
    vfs.szOsFile = static_cast<int>(sizeof(_File)) + _system()->szOsFile;
    vfs.zName = FRAME_JOINING_VFS;
    vfs.pNext = nullptr;
    vfs.xOpen = _open;
    return vfs;
}

}  // namespace

const char* frame_joining_vfs() {
    static std::once_flag once;
    static sqlite3_vfs vfs;
    std::call_once(once, [] {
        vfs = _make_vfs();
        sqlite3_vfs_register(&vfs, 0);
    });
    return FRAME_JOINING_VFS;
}

OwnCommits::OwnCommits(LogIndexAccount& account) : outer(_own_account) {
    if (outer == nullptr) _own_account = &account;
}

OwnCommits::~OwnCommits() {
    if (outer == nullptr) _own_account = nullptr;
}

std::optional<std::uint64_t> foreign_changes(sqlite3* db, LogIndexAccount& account) {
    sqlite3_file* f = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &f) != SQLITE_OK || f == nullptr ||
        !_is_ours(f))
        return std::nullopt;
    auto* file = reinterpret_cast<_File*>(f);
    if (file->log_index == nullptr) return std::nullopt;
    std::array<unsigned char, LOG_HEADER_BYTES> now;
    bool read = _read_log_header(file->log_index, now);
    std::lock_guard lock(account.mu);
    if (!read || !account.known || now != account.header) {
        ++account.foreign;
        account.known = read;
        if (read) account.header = now;
    }
    return account.foreign;
}

}  // namespace tokentally::store::sqlite
