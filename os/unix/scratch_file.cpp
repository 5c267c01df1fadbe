// The scratch database's file. A run takes it only when it is the user's own
// regular file holding a database (or nothing yet), and holds it alone: two
// runs on one file would work on each other's tables and save them over each
// other's files. A run leaving removes it.
//
// Each run keeps a descriptor of the file open under an exclusive flock for
// as long as it runs; a second run finds it locked and stops. flock, not
// fcntl: closing any descriptor of a file drops all of the process's fcntl
// locks on it, which the engine's own locking relies on.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "os/os.h"
#include "shell/shell.h"

namespace {

// Read by the signal handlers.
volatile sig_atomic_t held_fd = -1;

using found = scratch_found;

// Whether the scratch database's name still gives the file open as `fd`.
bool still_named(int fd) {
  struct stat held;
  struct stat named;
  return fstat(fd, &held) == 0 && stat(scratch_db_name, &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// The files the engine keeps beside the database: its rollback journal, and
// the log and shared memory of write-ahead logging, which typed SQL may turn on.
const char* const side_files[] = {scratch_journal_name, scratch_wal_name, scratch_shm_name};

// Empties a side file of this user's that could not be removed.
void empty_side_file(const char* name) {
  const int fd = open(name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid()) {
    ftruncate(fd, 0);
  }
  close(fd);
}

// Removes the scratch database and the files beside it when no other run
// holds the file open as `fd` and the name still gives it: a file another run
// uses, or made since, is never removed, nor a side file of another user's.
// The side files first: while the database keeps its name under this lock,
// no other run can be writing one for it. What can't be removed is emptied:
// an empty database holds no tables, and an empty journal or log plays
// nothing back into it. False when the database is still there.
// Async-signal-safe.
bool remove_if_last(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !still_named(fd)) return true;
  for (const char* name : side_files) {
    struct stat info;
    if (lstat(name, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
        unlink(name) != 0) {
      empty_side_file(name);
    }
  }
  if (unlink(scratch_db_name) == 0) return true;
  ftruncate(fd, 0);
  return false;
}

bool over_nfs(int fd) {
  struct statfs info;
  return fstatfs(fd, &info) == 0 && info.f_type == NFS_SUPER_MAGIC;
}

// Why a file described by `info` is not one a run may use, or null. Another
// user's file would show their rows and take ours; through a link or a second
// name the engine would write into a file known by another name; and a
// journal is played back into the database.
const char* refusal(const struct stat& info) {
  if (S_ISLNK(info.st_mode)) return "is a symbolic link";
  if (!S_ISREG(info.st_mode)) return "is not a regular file";
  if (info.st_uid != geteuid()) return "belongs to another user";
  if (info.st_nlink > 1) return "has another name (a hard link)";
  return nullptr;
}

found refused(std::string& reason, std::string text) {
  reason = std::move(text);
  return found::refused;
}

std::string named(const char* name, const char* why) {
  return std::string(name) + " " + why;
}

// Whether a side file the engine would read, or write into, is absent or one
// the run may use.
bool side_file_acceptable(const char* name, std::string& reason) {
  struct stat info;
  if (lstat(name, &info) != 0) {
    if (errno == ENOENT) return true;
    reason = strerror(errno);
    return false;
  }
  const char* why = refusal(info);
  if (why != nullptr) reason = named(name, why);
  return why == nullptr;
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
  int fd = open(scratch_journal_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char start[sizeof header];
  const bool found = pread(fd, start, sizeof start, 0) == sizeof start &&
                     memcmp(start, header, sizeof header) == 0;
  close(fd);
  return found;
}

// An empty file is one the engine makes a database of. A run killed during
// the first transaction of a new database leaves it without its header (the
// engine writes that page last) beside the journal that undoes the
// transaction. Read whatever locks another run holds: the engine's locks are
// advisory.
bool has_database_header(int fd, std::string& reason) {
  static const char header[16] = "SQLite format 3";
  static const char unwritten[16] = {};
  char start[sizeof header];
  ssize_t n = pread(fd, start, sizeof start, 0);
  if (n < 0) {
    reason = strerror(errno);
    return false;
  }
  if (n == 0 || (n == sizeof start && memcmp(start, header, sizeof header) == 0)) return true;
  if (n == sizeof start && memcmp(start, unwritten, sizeof start) == 0 && journal_has_header()) {
    return true;
  }
  reason = sqlite3_errstr(SQLITE_NOTADB);
  return false;
}

found check_opened(int fd, bool created, const struct stat& seen, std::string& reason) {
  struct stat info;
  if (fstat(fd, &info) != 0) return refused(reason, strerror(errno));
  // Removed since (by a run that left meanwhile): start again.
  if (info.st_nlink == 0 ||
      (!created && (info.st_dev != seen.st_dev || info.st_ino != seen.st_ino)))
    return found::vanished;
  if (const char* why = refusal(info)) return refused(reason, named(scratch_db_name, why));
  if (!created && !has_database_header(fd, reason)) return found::refused;
  return found::taken;
}

// Opens the file as it is checked: a link, a FIFO or a device is refused
// before any open, and O_NOFOLLOW and O_NONBLOCK cover one swapped in since.
// A file made here is the run's own, 0600 whatever the umask.
found open_checked(int& fd, bool& created, std::string& reason) {
  const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  struct stat seen;
  created = false;
  if (lstat(scratch_db_name, &seen) == 0) {
    if (seen.st_nlink == 0) return found::vanished;
    if (const char* why = refusal(seen)) return refused(reason, named(scratch_db_name, why));
    fd = open(scratch_db_name, flags);
  } else if (errno == ENOENT) {
    fd = open(scratch_db_name, flags | O_CREAT | O_EXCL, 0600);
    created = fd >= 0;
  } else {
    return refused(reason, strerror(errno));
  }
  if (fd < 0) {
    if (errno == ENOENT || errno == EEXIST) return found::vanished;
    if (errno == ELOOP) return refused(reason, named(scratch_db_name, "is a symbolic link"));
    return refused(reason, strerror(errno));
  }
  found result = check_opened(fd, created, seen, reason);
  if (result != found::taken) {
    // What this run made goes again, but only while no other run has taken
    // it since.
    if (created) remove_if_last(fd);
    close(fd);
  }
  return result;
}

// Takes the journal's name for a file of this user's, 0600, for the whole
// run: the engine opens the journal by name at every transaction, and in a
// directory others may write to, a journal of theirs would receive our rows,
// or play theirs back into our database. The engine empties it rather than
// removing it, and the last run to leave removes it.
bool take_journal(std::string& reason) {
  int fd = open(scratch_journal_name,
                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return side_file_acceptable(scratch_journal_name, reason);
    reason = strerror(errno);
    return false;
  }
  const bool made = fchmod(fd, 0600) == 0;
  if (!made) reason = strerror(errno);
  close(fd);
  return made;
}

// Lets go of the file, removing it only when asked (and this run is the last).
void let_go(bool remove) {
  if (remove) {
    leave_scratch_db();
    return;
  }
  const int fd = held_fd;
  held_fd = -1;
  close(fd);
}

// Locks the file for this run alone. A run that holds it may be leaving:
// it removes the file before it lets go of the lock, so the name is watched
// for a moment before the file is called in use.
found lock_alone(int fd, std::string& reason) {
  for (int tries = 0; tries < 25; ++tries) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return found::taken;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return refused(reason, strerror(errno));
    if (!still_named(fd)) return found::vanished;
    const timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return refused(reason, named(scratch_db_name, "is in use by another run"));
}

}  // namespace

scratch_found os_take_scratch_file(std::string& reason, bool& created) {
  if (!side_files_acceptable(reason)) return found::refused;
  // Held while the file may be made, so that it is not left behind unknown:
  // from here on an ending signal removes it, if no other run holds it.
  hold_interrupts(true);
  int fd = -1;
  found result = open_checked(fd, created, reason);
  if (result == found::taken) held_fd = fd;
  hold_interrupts(false);
  if (result != found::taken) return result;
  // Over NFS a flock is a lock on the file's bytes, which would keep the
  // engine from writing; the runs there share the file, and the first to
  // leave removes it.
  if (!over_nfs(fd)) result = lock_alone(fd, reason);
  // The last run to leave may have removed it meanwhile: work on a removed
  // file would be lost, so start again. A file another run holds is left to it.
  if (result == found::taken && !still_named(fd)) result = found::vanished;
  if (result != found::taken) {
    let_go(false);
    return result;
  }
  // Made private whatever the umask; a leftover of an older run that others
  // could read, too. Only now that it is this run's alone.
  struct stat info;
  if (fstat(fd, &info) != 0 || ((created || (info.st_mode & 077)) && fchmod(fd, 0600) != 0)) {
    reason = strerror(errno);
    let_go(created);
    return found::refused;
  }
  return found::taken;
}

bool os_scratch_file_still_named() {
  return still_named(held_fd);
}

bool os_take_journal(std::string& reason) {
  return take_journal(reason);
}

void os_let_go_scratch_file(bool remove) {
  let_go(remove);
}

bool leave_scratch_db() {
  const int fd = held_fd;
  if (fd < 0) return true;
  const bool removed = remove_if_last(fd);
  held_fd = -1;
  close(fd);
  return removed;
}
