// The scratch database's file, held by the run that took it (shell/
// decides which file a run may take). A run leaving removes it.
//
// Each run keeps a descriptor of the file open under an exclusive flock for
// as long as it runs; a second run finds it locked and stops. flock, not
// fcntl: closing any descriptor of a file drops all of the process's fcntl
// locks on it, which the engine's own locking relies on.
#include "os/scratch_file.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "os/os.h"
#include "os/scratch_names.h"

namespace {

// Read by the signal handlers.
volatile sig_atomic_t held_fd = -1;

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

// Empties a side file of this user's that could not be removed, where it
// can be.
void empty_side_file(const char* name) {
  const int fd = open(name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info;
  const bool emptied = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
                       ftruncate(fd, 0) == 0;
  static_cast<void>(emptied);
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
  // Emptied where it stays, where it can be: either way it is named to the
  // user as not removed.
  const bool emptied = ftruncate(fd, 0) == 0;
  static_cast<void>(emptied);
  return false;
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

}  // namespace

void os_hold_scratch_file(scratch_handle file) {
  held_fd = static_cast<int>(file);
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
