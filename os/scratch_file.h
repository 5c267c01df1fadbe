// The files of the scratch database and those the engine keeps beside it, as
// the system sees them: small operations, each system's in its own words.
// Which of them a run may use is decided above the seam (shell/); what stays
// here is the file a run holds, which an ending signal removes.
#pragma once

#include <cstdint>
#include <string>

#include "os/os.h"

// A file open through these operations; no_scratch_file when none.
using scratch_handle = intptr_t;
inline constexpr scratch_handle no_scratch_file = -1;

// How an operation ended. Where it `failed`, its `error` says why in the
// system's words.
enum class scratch_status : uint8_t {
  done,
  absent,  // nothing has the name
  exists,  // creating: the name is taken
  link,    // the name is a symbolic link (or another kind of reparse point)
  busy,    // locking: another run holds the lock
  failed,
};

// What the system says of a name or of an open file, no link followed.
struct scratch_facts {
  uint64_t volume = 0;  // which file: its volume and its number there
  uint64_t number = 0;
  file_type type = file_type::none;
  bool link = false;    // a symbolic link itself
  bool mine = true;     // this user's own
  uint32_t links = 1;   // names it has; 0 once it is removed
  bool shared = false;  // others may read or write it
};

inline bool same_scratch_file(const scratch_facts& a, const scratch_facts& b) {
  return a.volume == b.volume && a.number == b.number;
}

enum class scratch_open : uint8_t {
  read,    // an existing file, to be read
  write,   // an existing file, to be read and written
  create,  // a new file, only where nothing has the name, this user's alone
};

// Opens `name` without following a link and without waiting (a FIFO opens
// at once).
scratch_status os_scratch_open(const char* name, scratch_open how, scratch_handle& file,
                               std::string& error);
scratch_status os_scratch_facts(scratch_handle file, scratch_facts& facts, std::string& error);
scratch_status os_scratch_name_facts(const char* name, scratch_facts& facts, std::string& error);
// Reads up to `size` bytes from `offset` on: how many, 0 at the end, -1 on
// failure.
int64_t os_scratch_read_at(scratch_handle file, void* buffer, size_t size, int64_t offset,
                           std::string& error);
// Locks the file for this run alone, without waiting: busy when another
// run holds it. The lock lies apart from the bytes the engine locks.
scratch_status os_scratch_lock(scratch_handle file, std::string& error);
// Whether that lock can be taken without keeping the engine from the file:
// not over NFS, where it is a lock of the whole file's bytes.
bool os_scratch_lock_stays_apart(scratch_handle file);
// Makes the file readable and writable by this user alone.
scratch_status os_scratch_make_private(scratch_handle file, std::string& error);
void os_scratch_close(scratch_handle file);

// Holds the open and locked scratch database for the rest of the run, for
// leave_scratch_db to remove: from here on an ending signal removes it.
void os_hold_scratch_file(scratch_handle file);
// Lets go of the file held, removing it only when asked (and this run is
// the last to hold it).
void os_let_go_scratch_file(bool remove);
