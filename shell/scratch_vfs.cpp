// The engine's file system for the scratch database: the system's own, with
// one gate in front of every file the engine opens beside a database. The
// engine opens its journal, write-ahead log and super-journal by name at
// each transaction, and its shared memory at the first use of a log; in a
// directory others may write to, a file of theirs there would receive our
// rows, or play theirs back into our database. Each goes through
// ready_side_file before the system's own code opens it.
#include <sqlite3.h>

#include <algorithm>
#include <string>

#include "shell/scratch_file.h"

namespace {

sqlite3_vfs gate = {};

sqlite3_vfs* base() {
  return static_cast<sqlite3_vfs*>(gate.pAppData);
}

// The main database's file as the engine sees it: the gate's methods, in
// front of the system's own file, which follows this header.
struct gated_file {
  sqlite3_file file;
  sqlite3_file* real;
  const char* name;  // the engine keeps it unchanged until xClose
  bool shm_ready;    // the shared memory's file passed the gate
  bool wal_ready;    // and the log's
};
constexpr int header_size = (sizeof(gated_file) + 15) / 16 * 16;

gated_file* gated(sqlite3_file* file) {
  return reinterpret_cast<gated_file*>(file);
}

sqlite3_file* real(sqlite3_file* file) {
  return gated(file)->real;
}

// Readies the file that the engine names after the database's with
// `suffix`.
bool ready_beside(const gated_file* g, const char* suffix) {
  scratch_facts facts;
  std::string reason;
  const std::string name = std::string(g->name) + suffix;
  return ready_side_file(name.c_str(), side_open::create, facts, reason);
}

// Typed SQL turns write-ahead logging on by writing the log's version into
// the database's header (its byte 19), and the engine opens the log and its
// shared memory only at the next read. Both are readied before the header
// says so: a file put there since could otherwise receive the log, or
// leave the database in a mode it can't be read in. The write fails, and so
// the statement, where they can't be.
int gated_write(sqlite3_file* file, const void* data, int size, sqlite3_int64 offset) {
  gated_file* g = gated(file);
  const bool turns_on_wal =
      offset == 0 && size > 19 && static_cast<const unsigned char*>(data)[19] == 2;
  if (turns_on_wal && !g->wal_ready && g->name != nullptr) {
    if (!ready_beside(g, "-shm") || !ready_beside(g, "-wal")) return SQLITE_CANTOPEN;
    g->shm_ready = true;
    g->wal_ready = true;
  }
  return g->real->pMethods->xWrite(g->real, data, size, offset);
}

// The system's shared-memory code opens "NAME-shm" itself, not through
// xOpen: the gate looks at it before the first mapping, and again once the
// memory has been let go (the file may have been removed with it).
int gated_shm_map(sqlite3_file* file, int page, int page_size, int extend, void volatile** memory) {
  gated_file* g = gated(file);
  if (!g->shm_ready && g->name != nullptr) {
    if (!ready_beside(g, "-shm")) return SQLITE_CANTOPEN;
    g->shm_ready = true;
  }
  return g->real->pMethods->xShmMap(g->real, page, page_size, extend, memory);
}

int gated_shm_unmap(sqlite3_file* file, int remove) {
  gated(file)->shm_ready = false;
  gated(file)->wal_ready = false;
  return real(file)->pMethods->xShmUnmap(real(file), remove);
}

// The methods of a main database's file, of the version that the system's
// file has: the engine asks for shared memory and mapping only of a file
// whose version has them.
constexpr sqlite3_io_methods gated_methods(int version) {
  sqlite3_io_methods m = {};
  m.iVersion = version;
  m.xClose = [](sqlite3_file* f) { return real(f)->pMethods->xClose(real(f)); };
  m.xRead = [](sqlite3_file* f, void* data, int size, sqlite3_int64 offset) {
    return real(f)->pMethods->xRead(real(f), data, size, offset);
  };
  m.xWrite = gated_write;
  m.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
    return real(f)->pMethods->xTruncate(real(f), size);
  };
  m.xSync = [](sqlite3_file* f, int flags) { return real(f)->pMethods->xSync(real(f), flags); };
  m.xFileSize = [](sqlite3_file* f, sqlite3_int64* size) {
    return real(f)->pMethods->xFileSize(real(f), size);
  };
  m.xLock = [](sqlite3_file* f, int lock) { return real(f)->pMethods->xLock(real(f), lock); };
  m.xUnlock = [](sqlite3_file* f, int lock) { return real(f)->pMethods->xUnlock(real(f), lock); };
  m.xCheckReservedLock = [](sqlite3_file* f, int* held) {
    return real(f)->pMethods->xCheckReservedLock(real(f), held);
  };
  m.xFileControl = [](sqlite3_file* f, int op, void* argument) {
    return real(f)->pMethods->xFileControl(real(f), op, argument);
  };
  m.xSectorSize = [](sqlite3_file* f) { return real(f)->pMethods->xSectorSize(real(f)); };
  m.xDeviceCharacteristics = [](sqlite3_file* f) {
    return real(f)->pMethods->xDeviceCharacteristics(real(f));
  };
  if (version < 2) return m;
  m.xShmMap = gated_shm_map;
  m.xShmLock = [](sqlite3_file* f, int offset, int count, int flags) {
    return real(f)->pMethods->xShmLock(real(f), offset, count, flags);
  };
  m.xShmBarrier = [](sqlite3_file* f) { real(f)->pMethods->xShmBarrier(real(f)); };
  m.xShmUnmap = gated_shm_unmap;
  if (version < 3) return m;
  m.xFetch = [](sqlite3_file* f, sqlite3_int64 offset, int size, void** memory) {
    return real(f)->pMethods->xFetch(real(f), offset, size, memory);
  };
  m.xUnfetch = [](sqlite3_file* f, sqlite3_int64 offset, void* memory) {
    return real(f)->pMethods->xUnfetch(real(f), offset, memory);
  };
  return m;
}

constexpr sqlite3_io_methods methods_of_version[] = {gated_methods(1), gated_methods(2),
                                                     gated_methods(3)};

int open_main(const char* name, sqlite3_file* file, int flags, int* out_flags) {
  gated_file* g = gated(file);
  g->file.pMethods = nullptr;
  g->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + header_size);
  g->name = name;
  g->shm_ready = false;
  g->wal_ready = false;
  const int opened = base()->xOpen(base(), name, g->real, flags, out_flags);
  if (opened != SQLITE_OK || g->real->pMethods == nullptr) return opened;
  const int version = std::clamp(g->real->pMethods->iVersion, 1, 3);
  g->file.pMethods = &methods_of_version[version - 1];
  return SQLITE_OK;
}

// A journal, log or super-journal: the system's own file, opened only once
// the gate has readied it, and only if the name still gives that file.
int open_side(const char* name, sqlite3_file* file, int flags, int* out_flags) {
  file->pMethods = nullptr;
  const side_open how = (flags & SQLITE_OPEN_EXCLUSIVE) ? side_open::new_file
                        : (flags & SQLITE_OPEN_CREATE)  ? side_open::create
                                                        : side_open::existing;
  scratch_facts readied;
  std::string reason;
  if (!ready_side_file(name, how, readied, reason)) return SQLITE_CANTOPEN;
  // A new file is made by now, by the gate.
  const int opened = base()->xOpen(base(), name, file, flags & ~SQLITE_OPEN_EXCLUSIVE, out_flags);
  if (opened != SQLITE_OK) return opened;
  scratch_facts named;
  if (os_scratch_name_facts(name, named, reason) == scratch_status::done &&
      same_scratch_file(named, readied)) {
    return SQLITE_OK;
  }
  file->pMethods->xClose(file);
  file->pMethods = nullptr;
  return SQLITE_CANTOPEN;
}

int gate_open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out_flags) {
  if (flags & SQLITE_OPEN_MAIN_DB) return open_main(name, file, flags, out_flags);
  const int side = SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_WAL | SQLITE_OPEN_SUPER_JOURNAL;
  if (name != nullptr && (flags & side)) return open_side(name, file, flags, out_flags);
  // Temporary files: made by the system with names of its own, removed on
  // closing.
  return base()->xOpen(base(), name, file, flags, out_flags);
}

// All but xOpen as the system's own. Version 3's calls that replace the
// system's are for testing the system's code, which is not this.
const char* register_gate() {
  sqlite3_vfs* system = sqlite3_vfs_find(nullptr);
  if (system == nullptr) return nullptr;
  gate.iVersion = std::min(system->iVersion, 2);
  gate.szOsFile = header_size + system->szOsFile;
  gate.mxPathname = system->mxPathname;
  gate.zName = "plinth-scratch";
  gate.pAppData = system;
  gate.xOpen = gate_open;
  gate.xDelete = [](sqlite3_vfs*, const char* name, int sync) {
    return base()->xDelete(base(), name, sync);
  };
  // A file the gate would not open is not there to the engine: a journal
  // someone else put there is not taken for one that a killed run left, nor
  // a log for this database's.
  gate.xAccess = [](sqlite3_vfs*, const char* name, int flags, int* result) {
    const int asked = base()->xAccess(base(), name, flags, result);
    std::string ignored;
    if (asked == SQLITE_OK && flags == SQLITE_ACCESS_EXISTS && *result != 0 &&
        !side_file_acceptable(name, ignored)) {
      *result = 0;
    }
    return asked;
  };
  gate.xFullPathname = [](sqlite3_vfs*, const char* name, int size, char* full) {
    return base()->xFullPathname(base(), name, size, full);
  };
  if (system->xDlOpen != nullptr) {
    gate.xDlOpen = [](sqlite3_vfs*, const char* name) { return base()->xDlOpen(base(), name); };
    gate.xDlError = [](sqlite3_vfs*, int size, char* message) {
      base()->xDlError(base(), size, message);
    };
    gate.xDlSym = [](sqlite3_vfs*, void* library, const char* symbol) {
      return base()->xDlSym(base(), library, symbol);
    };
    gate.xDlClose = [](sqlite3_vfs*, void* library) { base()->xDlClose(base(), library); };
  }
  gate.xRandomness = [](sqlite3_vfs*, int size, char* bytes) {
    return base()->xRandomness(base(), size, bytes);
  };
  gate.xSleep = [](sqlite3_vfs*, int microseconds) { return base()->xSleep(base(), microseconds); };
  gate.xCurrentTime = [](sqlite3_vfs*, double* now) { return base()->xCurrentTime(base(), now); };
  gate.xGetLastError = [](sqlite3_vfs*, int size, char* message) {
    return base()->xGetLastError(base(), size, message);
  };
  if (gate.iVersion >= 2) {
    gate.xCurrentTimeInt64 = [](sqlite3_vfs*, sqlite3_int64* now) {
      return base()->xCurrentTimeInt64(base(), now);
    };
  }
  return sqlite3_vfs_register(&gate, 0) == SQLITE_OK ? gate.zName : nullptr;
}

}  // namespace

const char* scratch_vfs_name() {
  static const char* const name = register_gate();
  return name;
}
