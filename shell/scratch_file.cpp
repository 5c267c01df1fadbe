// The scratch database's file. A run takes it only when it is the user's own
// regular file holding a database (or nothing yet), and holds it alone: two
// runs on one file would work on each other's tables and save them over each
// other's files. The files the engine keeps beside it pass the same checks.
#include "shell/scratch_file.h"

#include <sqlite3.h>

#include <cstring>
#include <utility>

#include "os/scratch_names.h"

namespace {

using found = scratch_found;

// The files the engine keeps beside the database: its rollback journal, and
// the log and shared memory of write-ahead logging, which typed SQL may turn on.
const char* const side_files[] = {scratch_journal_name, scratch_wal_name, scratch_shm_name};

// Why a file described by `facts` is not one a run may use, or null.
// Another user's file would show their rows and take ours; through a link or
// a second name the engine would write into a file known by another name;
// and a journal is played back into the database.
const char* refusal(const scratch_facts& facts) {
  if (facts.link) return "is a symbolic link";
  if (facts.type != file_type::regular) return "is not a regular file";
  if (!facts.mine) return "belongs to another user";
  if (facts.links > 1) return "has another name (a hard link)";
  return nullptr;
}

found refused(std::string& reason, std::string text) {
  reason = std::move(text);
  return found::refused;
}

std::string named(const char* name, const char* why) {
  return std::string(name) + " " + why;
}

bool side_files_acceptable(std::string& reason) {
  for (const char* name : side_files) {
    if (!side_file_acceptable(name, reason)) return false;
  }
  return true;
}

// Whether the journal begins as the engine's journals do.
bool journal_has_header() {
  static const unsigned char header[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
  std::string error;
  scratch_handle journal = no_scratch_file;
  if (os_scratch_open(scratch_journal_name, scratch_open::read, journal, error) !=
      scratch_status::done) {
    return false;
  }
  unsigned char start[sizeof header];
  const bool found = os_scratch_read_at(journal, start, sizeof start, 0, error) == sizeof start &&
                     memcmp(start, header, sizeof header) == 0;
  os_scratch_close(journal);
  return found;
}

// An empty file is one the engine makes a database of. A run killed during
// the first transaction of a new database leaves it without its header (the
// engine writes that page last) beside the journal that undoes the
// transaction. Read whatever locks another run holds: the engine's locks are
// advisory.
bool has_database_header(scratch_handle file, std::string& reason) {
  static const char header[16] = "SQLite format 3";
  static const char unwritten[16] = {};
  char start[sizeof header];
  const int64_t n = os_scratch_read_at(file, start, sizeof start, 0, reason);
  if (n < 0) return false;
  if (n == 0 || (n == sizeof start && memcmp(start, header, sizeof header) == 0)) return true;
  if (n == sizeof start && memcmp(start, unwritten, sizeof start) == 0 && journal_has_header()) {
    return true;
  }
  reason = sqlite3_errstr(SQLITE_NOTADB);
  return false;
}

found check_opened(scratch_handle file, bool created, const scratch_facts& seen,
                   std::string& reason) {
  scratch_facts facts;
  if (os_scratch_facts(file, facts, reason) != scratch_status::done) return found::refused;
  // Removed since (by a run that left meanwhile): start again.
  if (facts.links == 0 || (!created && !same_scratch_file(facts, seen))) return found::vanished;
  if (const char* why = refusal(facts)) return refused(reason, named(scratch_db_name, why));
  if (!created && !has_database_header(file, reason)) return found::refused;
  return found::taken;
}

// Opens the file as it is checked: a link, a FIFO or a device is refused
// before any open, and the open itself refuses a link swapped in since and
// never waits for a FIFO's other end.
found open_checked(scratch_handle& file, bool& created, std::string& reason) {
  created = false;
  scratch_facts seen;
  scratch_status status = os_scratch_name_facts(scratch_db_name, seen, reason);
  if (status == scratch_status::done) {
    if (seen.links == 0) return found::vanished;
    if (const char* why = refusal(seen)) return refused(reason, named(scratch_db_name, why));
    status = os_scratch_open(scratch_db_name, scratch_open::write, file, reason);
  } else if (status == scratch_status::absent) {
    status = os_scratch_open(scratch_db_name, scratch_open::create, file, reason);
    created = status == scratch_status::done;
  }
  switch (status) {
    case scratch_status::done:
      break;
    case scratch_status::absent:
    case scratch_status::exists:
      return found::vanished;
    case scratch_status::link:
      return refused(reason, named(scratch_db_name, "is a symbolic link"));
    default:
      return found::refused;
  }
  const found result = check_opened(file, created, seen, reason);
  if (result == found::taken) return result;
  if (created) {
    // What this run made goes again, but only while no other run has taken
    // it since.
    os_hold_scratch_file(file);
    os_let_go_scratch_file(true);
  } else {
    os_scratch_close(file);
  }
  file = no_scratch_file;
  return result;
}

// Locks the file for this run alone. A run that holds it may be leaving:
// it removes the file before it lets go of the lock, so the name is watched
// for a moment before the file is called in use.
found lock_alone(scratch_handle file, std::string& reason) {
  for (int tries = 0; tries < 25; ++tries) {
    const scratch_status status = os_scratch_lock(file, reason);
    if (status == scratch_status::done) return found::taken;
    if (status != scratch_status::busy) return found::refused;
    if (!scratch_file_still_named(file)) return found::vanished;
    sqlite3_sleep(10);
  }
  return refused(reason, named(scratch_db_name, "is in use by another run"));
}

// Opens, checks and locks the file, and holds it once it is this run's.
// Interrupts wait meanwhile, so that a file made here is not left behind
// unknown, nor one that another run holds removed.
found take_checked(scratch_handle& file, bool& created, std::string& reason) {
  hold_interrupts(true);
  file = no_scratch_file;
  found result = open_checked(file, created, reason);
  // Over NFS the lock would keep the engine from writing; the runs there
  // share the file, and the first to leave removes it.
  if (result == found::taken && os_scratch_lock_stays_apart(file)) {
    result = lock_alone(file, reason);
  }
  // The last run to leave may have removed it meanwhile: work on a removed
  // file would be lost, so start again.
  if (result == found::taken && !scratch_file_still_named(file)) result = found::vanished;
  if (result == found::taken) {
    os_hold_scratch_file(file);
  } else if (file != no_scratch_file) {
    // Another run's file, or removed: left as it is.
    os_scratch_close(file);
  }
  hold_interrupts(false);
  return result;
}

// False, with `reason`, unless `status` is done.
bool side_status_fine(const char* name, scratch_status status, std::string& reason) {
  switch (status) {
    case scratch_status::done:
      return true;
    case scratch_status::absent:
      reason = named(name, "is not there");
      return false;
    case scratch_status::exists:
      reason = named(name, "is there already");
      return false;
    case scratch_status::link:
      reason = named(name, "is a symbolic link");
      return false;
    default:
      return false;  // `reason` has the system's words
  }
}

// Opens a side file as `how` asks: made here (`created`), or, when it is
// there and may be, looked at before it is opened, as the database is.
bool open_side_file(const char* name, side_open how, scratch_handle& file, bool& created,
                    std::string& reason) {
  scratch_status status = scratch_status::exists;
  if (how != side_open::existing)
    status = os_scratch_open(name, scratch_open::create, file, reason);
  created = status == scratch_status::done;
  if (status != scratch_status::exists || how == side_open::new_file) {
    return side_status_fine(name, status, reason);
  }
  scratch_facts seen;
  if (!side_status_fine(name, os_scratch_name_facts(name, seen, reason), reason)) return false;
  if (const char* why = refusal(seen)) {
    reason = named(name, why);
    return false;
  }
  return side_status_fine(name, os_scratch_open(name, scratch_open::read, file, reason), reason);
}

}  // namespace

scratch_found take_scratch_file(scratch_handle& file, bool& created, std::string& reason) {
  if (!side_files_acceptable(reason)) return found::refused;
  found result = take_checked(file, created, reason);
  if (result != found::taken) return result;
  // Made private whatever the umask; a leftover of an older run that others
  // could read, too. Only now that it is this run's alone.
  scratch_facts facts;
  if (os_scratch_facts(file, facts, reason) != scratch_status::done ||
      (facts.shared && os_scratch_make_private(file, reason) != scratch_status::done)) {
    os_let_go_scratch_file(created);
    return found::refused;
  }
  return found::taken;
}

bool scratch_file_still_named(scratch_handle file) {
  std::string ignored;
  scratch_facts held;
  scratch_facts named;
  return os_scratch_facts(file, held, ignored) == scratch_status::done &&
         os_scratch_name_facts(scratch_db_name, named, ignored) == scratch_status::done &&
         same_scratch_file(held, named);
}

bool ready_side_file(const char* name, side_open how, scratch_facts& facts, std::string& reason) {
  scratch_handle file = no_scratch_file;
  bool created = false;
  bool ready = open_side_file(name, how, file, created, reason) &&
               os_scratch_facts(file, facts, reason) == scratch_status::done;
  if (ready) {
    if (const char* why = refusal(facts)) {
      reason = named(name, why);
      ready = false;
    } else if (!created && facts.shared) {
      ready = os_scratch_make_private(file, reason) == scratch_status::done;
    }
  }
  os_scratch_close(file);
  return ready;
}

bool side_file_acceptable(const char* name, std::string& reason) {
  scratch_facts facts;
  const scratch_status status = os_scratch_name_facts(name, facts, reason);
  if (status == scratch_status::absent) return true;
  if (status != scratch_status::done) return false;
  const char* why = refusal(facts);
  if (why != nullptr) reason = named(name, why);
  return why == nullptr;
}
