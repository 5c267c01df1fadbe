#include "os/save_target.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio_ext.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "os/unix/file_attributes.h"
#include "os/unix/in_place_backup.h"
#include "os/unix/status.h"
#include "os/unix/temporary_file.h"
#include "os/scratch_names.h"
#include "texttable/content_hash.h"

namespace {

constexpr int most_links_followed = 40;
constexpr size_t write_buffer_size = 1 << 16;

// What a save keeps of its target besides what save_target holds. One save
// at a time.
struct unix_save {
  std::string path;           // the file the name leads to, symbolic links followed
  std::string temporary;      // the file written instead of it, when replacing
  bool existed = false;       // whether `path` was there before
  struct stat original = {};  // what it was, when it existed
  int original_fd = -1;       // it, open, while a replacement is written
  bool compared = false;      // it was found as last read or written
  in_place_backup backup;     // the old content, when writing in place
  // What a save that is done leaves at `path`; also a file written in place
  // whose old content was written back.
  struct stat left = {};
};
unix_save save;

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool is_file(const struct stat& target, const char* other) {
  struct stat info;
  return stat(other, &info) == 0 && same_file(target, info);
}

// The descriptor that "/dev/stdout", "/dev/fd/N" or "/proc/self/fd/N" stand
// for, or -1. Such a name is written through the descriptor itself: opened
// anew it would start writing over the beginning of what it names.
int descriptor_named(std::string_view path) {
  for (std::string_view prefix : {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/"}) {
    if (!path.starts_with(prefix)) continue;
    std::string_view digits = path.substr(prefix.size());
    if (digits.empty() || digits.size() > 9) return -1;
    int number = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return -1;
      number = number * 10 + (c - '0');
    }
    return number;
  }
  return -1;
}

// A link that another user put in a directory anyone may write to (/tmp)
// could point anywhere: it is not followed, as the system itself refuses to
// where it protects such links.
bool is_planted_link(const std::string& path, const struct stat& link) {
  struct stat directory;
  if (stat(directory_of(path).c_str(), &directory) != 0) return true;
  const bool shared = (directory.st_mode & S_ISVTX) && (directory.st_mode & S_IWOTH);
  return shared && link.st_uid != geteuid() && link.st_uid != directory.st_uid;
}

// Follows the symbolic links that `path` leads through to the file a save
// must write, which need not exist: saving through a link writes the file it
// points to and keeps the link. Sets `descriptor` for a name that stands for
// one of the process's descriptors, and `exists` when the file is there.
// False on a loop or a planted link.
bool follow_links(std::string& path, int& descriptor, bool& exists) {
  for (int followed = 0; followed <= most_links_followed; ++followed) {
    descriptor = descriptor_named(path);
    if (descriptor >= 0) return true;
    struct stat info;
    exists = lstat(path.c_str(), &info) == 0;
    if (!exists || !S_ISLNK(info.st_mode)) return true;
    if (is_planted_link(path, info)) return false;
    std::vector<char> target(static_cast<size_t>(info.st_size > 0 ? info.st_size : PATH_MAX) + 1);
    ssize_t length = readlink(path.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<size_t>(length) >= target.size()) return true;
    std::string_view link(target.data(), static_cast<size_t>(length));
    path = link.starts_with('/') ? std::string(link) : std::string(directory_prefix(path)) += link;
  }
  return false;
}

// The engine keeps the tables in these files of the current directory:
// writing text over them, or making one where it is absent, would lose them.
bool is_scratch_file(const std::string& path) {
  std::string_view base = std::string_view(path).substr(directory_prefix(path).size());
  if (!base.starts_with(scratch_db_name)) return false;
  base.remove_prefix(sizeof scratch_db_name - 1);
  if (!base.empty() && base != "-journal" && base != "-wal" && base != "-shm") return false;
  struct stat directory;
  struct stat current;
  return stat(directory_of(path).c_str(), &directory) != 0 || stat(".", &current) != 0 ||
         same_file(directory, current);
}

// Whether `info` is a file of the scratch database, by whatever name or link
// it was reached.
bool is_scratch_database(const struct stat& info) {
  for (const char* name :
       {scratch_db_name, scratch_journal_name, scratch_wal_name, scratch_shm_name}) {
    if (is_file(info, name)) return true;
  }
  return false;
}

// What `name` leads to at `path` now: a regular file with its content hashed
// (when it can be read), anything else as it stands, nothing as a record of
// no file.
seen_file look_at(const char* name, const std::string& path) {
  struct stat info;
  seen_file found;
  found.name = name;
  found.type = file_type::none;
  if (stat(path.c_str(), &info) != 0) return found;
  found = seen_as(name, status_of(info));
  if (!S_ISREG(info.st_mode)) return found;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat opened;
  if (fd >= 0 && fstat(fd, &opened) == 0 && same_file(opened, info)) {
    found.hashed = hash_file_content(fd, found.hash, found.size);
  }
  if (fd >= 0) close(fd);
  return found;
}

// Hashes the content of the regular file open for writing as `fd`, found
// as `info`.
seen_file hashed(const char* name, const std::string& path, int fd, const struct stat& info) {
  seen_file found = seen_as(name, status_of(info));
  const int reader = reopen_for_reading(path, fd);
  if (reader >= 0) {
    found.hashed = hash_file_content(reader, found.hash, found.size);
    close(reader);
  }
  return found;
}

// A new file would lose the second name of a file with several, and its
// place as a mount point. What else it would lose is tried on the new file.
bool must_write_in_place(int fd, const struct stat& info) {
  if (info.st_nlink > 1) return true;
  // A file mounted over another (a container's volume of one file) can't be
  // renamed over.
  struct statx extended;
  return statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &extended) == 0 &&
         (extended.stx_attributes & extended.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT);
}

// In a directory with the sticky bit, only the owner of a file or of the
// directory may replace the file.
bool directory_forbids_replacing(const std::string& path, const struct stat& info) {
  struct stat directory;
  if (stat(directory_of(path).c_str(), &directory) != 0) return false;
  const uid_t user = geteuid();
  return (directory.st_mode & S_ISVTX) && user != 0 && info.st_uid != user &&
         directory.st_uid != user;
}

// A FIFO or file that another user put in a shared directory such as /tmp
// may be there to receive what the user saves: refused, as the system itself
// does where it protects such files.
bool is_planted_file(const std::string& path, const struct stat& info) {
  if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode)) return false;
  struct stat directory;
  if (stat(directory_of(path).c_str(), &directory) != 0) return true;
  const bool shared = (directory.st_mode & S_ISVTX) && (directory.st_mode & (S_IWGRP | S_IWOTH));
  return shared && info.st_uid != geteuid() && info.st_uid != directory.st_uid;
}

bool no_room(int error) {
  return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

// Takes the room for the text before a byte is written, so that a full disk
// or a file size limit fails the save at once, not halfway. Systems that
// can't reserve room just write.
bool reserve(int fd, int64_t size) {
  rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<rlim_t>(size) > limit.rlim_cur) {
    return false;
  }
  if (size == 0) return true;
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0) return true;
  return !no_room(errno);
}

// Makes the file `size` bytes long, its room taken where the system can.
bool lengthen(int fd, int64_t size) {
  return fallocate(fd, 0, 0, size) == 0 || (!no_room(errno) && ftruncate(fd, size) == 0);
}

bool take_file(save_target& target, int fd) {
  target.file = fdopen(fd, "w");
  if (target.file == nullptr) {
    close(fd);
    return false;
  }
  // One save at a time: one buffer serves them all.
  static char buffer[write_buffer_size];
  setvbuf(target.file, buffer, _IOFBF, sizeof buffer);
  return true;
}

save_result cant_open(int fd) {
  if (fd >= 0) close(fd);
  return save_result::cant_open;
}

// Starts writing over the target's own bytes, once its old content is safe
// in a backup.
save_result open_in_place(save_target& target, int fd) {
  target.mode = save_mode::in_place;
  if (!make_backup(save.path, fd, save.backup)) {
    close(fd);
    return save_result::cant_write;
  }
  // Appended to while it was copied: nothing is written.
  struct stat now;
  if (fstat(fd, &now) == 0 && now.st_size != save.backup.size) {
    close(fd);
    drop_backup(save.backup);
    target.found = look_at(target.found.name.c_str(), save.path);
    return save_result::changed_on_disk;
  }
  // Made as long as the new content first, so that what another process
  // appends from here on lands past the save's own bytes, to be kept.
  const bool reserved =
      reserve(fd, target.size) && (target.size <= now.st_size || lengthen(fd, target.size));
  if (!reserved) close(fd);
  if (!reserved || !take_file(target, fd)) {
    drop_backup(save.backup);
    return save_result::cant_write;
  }
  return save_result::done;
}

// Starts writing the temporary file that is to replace the target. `fd` is
// the target opened for writing, or -1 when it does not exist yet.
save_result open_replacement(save_target& target, int fd) {
  target.mode = save_mode::replace;
  // A new file gets what a new file gets here (0666 less the umask, or the
  // directory's default access list); one that takes an old file's place
  // gets its identity now, so that a file whose identity can't be given is
  // written in place before a byte is written twice.
  const std::string_view prefix = directory_prefix(save.path);
  int temporary = create_temporary(prefix, std::string_view(save.path).substr(prefix.size()), true,
                                   O_WRONLY, save.existed ? 0600 : 0666, save.temporary);
  if (temporary < 0) {
    const int error = errno;
    // A directory that takes no new file may still let the file be written.
    if (fd >= 0 && (error == EACCES || error == EPERM || error == EROFS)) {
      return open_in_place(target, fd);
    }
    // One that keeps every name made in it takes the new file itself.
    if (fd < 0 && error == EPERM) {
      fd = open(save.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd >= 0 && fstat(fd, &save.original) == 0) return open_in_place(target, fd);
    }
    if (fd >= 0) close(fd);
    return no_room(error) ? save_result::cant_write : save_result::cant_open;
  }
  if (fd >= 0 && !give_identity(fd, save.original, temporary)) {
    close(temporary);
    unlink(save.temporary.c_str());
    save.temporary.clear();
    return open_in_place(target, fd);
  }
  save.original_fd = fd;
  bool opened = reserve(temporary, target.size);
  if (!opened) close(temporary);
  opened = opened && take_file(target, temporary);
  if (!opened) {
    unlink(save.temporary.c_str());
    save.temporary.clear();
    if (fd >= 0) close(fd);
    save.original_fd = -1;
    return save_result::cant_write;
  }
  return save_result::done;
}

// Opens `name` for writing as it stands, without emptying it and without
// waiting for a FIFO's reader. Never creates it: a file removed since it was
// looked at is made through a temporary file, like any new one, and a save
// that refuses to write must leave nothing behind.
int open_existing(const char* name) {
  return open(name, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

save_result open_new(save_target& target, const char* zero_byte_row) {
  if (save.path.ends_with('/') || is_scratch_file(save.path)) return save_result::cant_open;
  if (zero_byte_row != nullptr) return save_result::zero_byte;
  return open_replacement(target, -1);
}

// The descriptor that a name such as /dev/stdout stands for: a regular file
// is written through a copy of it, where its output has got to; anything
// else is opened anew, which is the same pipe or terminal but is sure to
// wait when it is full.
int open_descriptor(const char* name, int descriptor) {
  int fd = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || S_ISREG(info.st_mode)) return fd;
  int reopened = open(name, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (reopened < 0) return fd;
  close(fd);
  return reopened;
}

// Writing took away the file's set-ID bits. Its owner gives them back; for
// anyone else they stay off, which lets no one in.
void give_set_id_bits_back(int fd, const struct stat& old) {
  if (old.st_mode & (S_ISUID | S_ISGID)) fchmod(fd, old.st_mode & 07777);
}

// Ends writing in place: on failure, writes the old content back. So it
// does when another process wrote to the file meanwhile (it ends past the
// save's own bytes and the old content) or its name now leads elsewhere.
save_result close_in_place(save_target& target, bool written) {
  const int fd = fileno(target.file);
  const off_t end = std::max(save.backup.size, target.size);
  struct stat now;
  struct stat named;
  const bool looked = fstat(fd, &now) == 0;
  const bool changed = !looked || now.st_size != end || stat(save.path.c_str(), &named) != 0 ||
                       !same_file(named, now);
  const bool all_written = written;
  written = written && !changed && ftruncate(fd, target.size) == 0;
  if (written) give_set_id_bits_back(fd, save.original);
  written = written && fsync(fd) == 0 && fstat(fd, &save.left) == 0;
  bool restored = written;
  if (!written) {
    // What stdio still holds must not reach the file after the old content.
    __fpurge(target.file);
    restored = restore_backup(save.backup, save.path, fd, end, looked ? now.st_size : end);
    if (restored) give_set_id_bits_back(fd, save.original);
  }
  fclose(target.file);
  target.file = nullptr;
  drop_backup(save.backup, !restored);
  if (written) return save_result::done;
  if (!restored) return save_result::cant_write_kept_backup;
  if (!all_written || !changed) return save_result::cant_write;
  target.found = look_at(target.found.name.c_str(), save.path);
  return save_result::changed_on_disk;
}

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the name still leads to the file as the save found it: the same
// file, size and times, which only the system sets (a change of status).
// Where times keep whole seconds, a rewrite within the second hides in them:
// there the content is hashed again. A file removed since is made anew.
bool still_as_found(const save_target& target) {
  struct stat now;
  if (stat(save.path.c_str(), &now) != 0) return true;
  const struct stat& then = save.original;
  if (!same_file(now, then) || now.st_size != then.st_size ||
      !same_time(now.st_mtim, then.st_mtim) || !same_time(now.st_ctim, then.st_ctim)) {
    return false;
  }
  return now.st_ctim.tv_nsec != 0 ||
         !changed_since_seen(target.found, look_at(target.found.name.c_str(), save.path));
}

}  // namespace

save_result open_save_target(const char* name, int64_t size, const seen_file* seen,
                             const char* zero_byte_row, save_target& target) {
  target = save_target();
  save = unix_save();
  save.path = name;
  target.size = size;
  target.found.name = name;
  int descriptor = -1;
  bool exists = false;
  if (!follow_links(save.path, descriptor, exists)) return save_result::cant_open;
  // Looked at before it is opened: opening a FIFO wakes its reader.
  struct stat before;
  const bool looked = descriptor < 0 && exists && stat(save.path.c_str(), &before) == 0;
  if (looked && is_planted_file(save.path, before)) return save_result::cant_open;
  // A regular file's name that now leads to a FIFO or device: the table's
  // lines would go to another program, or nowhere.
  if (looked && !S_ISREG(before.st_mode) && !S_ISDIR(before.st_mode)) {
    target.found = seen_as(name, status_of(before));
    save_result judged = judge_save(seen, name, target.found, target.loaded_from);
    if (judged == save_result::done && zero_byte_row != nullptr) judged = save_result::zero_byte;
    if (judged != save_result::done) return judged;
  }

  if (descriptor < 0 && !exists) return open_new(target, zero_byte_row);
  const int fd = descriptor >= 0 ? open_descriptor(name, descriptor) : open_existing(name);
  if (fd < 0 && descriptor < 0 && errno == ENOENT) return open_new(target, zero_byte_row);
  if (fd < 0) return save_result::cant_open;
  save.existed = true;
  struct stat followed;
  if (fstat(fd, &save.original) != 0 || is_scratch_file(save.path) ||
      is_scratch_database(save.original) ||
      // The system and we must have followed the name to the same file.
      (descriptor < 0 &&
       (stat(save.path.c_str(), &followed) != 0 || !same_file(followed, save.original) ||
        is_planted_file(save.path, save.original)))) {
    return cant_open(fd);
  }
  // A loaded file's name that now leads to a descriptor's file (a link to
  // /dev/stdout): the lines would go to whatever that descriptor is.
  if (descriptor >= 0 && seen != nullptr) {
    target.found = seen_as(name, status_of(save.original));
    // Standard output redirected to a file grows with the run's own output.
    target.found.size = 0;
    const save_result judged = judge_save(seen, name, target.found, target.loaded_from);
    if (judged != save_result::done) {
      close(fd);
      return judged;
    }
  }
  if (!S_ISREG(save.original.st_mode) || descriptor >= 0) {
    if (zero_byte_row != nullptr) {
      close(fd);
      return save_result::zero_byte;
    }
    target.mode = save_mode::stream;
    // Opened without waiting for a FIFO's reader; written waiting for it. A
    // regular file's descriptor is shared with standard output: left alone.
    const int flags = fcntl(fd, F_GETFL);
    if (!S_ISREG(save.original.st_mode) &&
        (flags < 0 || ((flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0))) {
      return cant_open(fd);
    }
    return take_file(target, fd) ? save_result::done : save_result::cant_open;
  }
  target.found = hashed(name, save.path, fd, save.original);
  save_result judged = judge_save(seen, name, target.found, target.loaded_from);
  if (judged == save_result::done && zero_byte_row != nullptr) judged = save_result::zero_byte;
  if (judged != save_result::done) {
    close(fd);
    return judged;
  }
  save.compared = true;
  if (must_write_in_place(fd, save.original) ||
      directory_forbids_replacing(save.path, save.original)) {
    return open_in_place(target, fd);
  }
  return open_replacement(target, fd);
}

namespace {

save_result close_target(save_target& target, bool written) {
  written = fflush(target.file) == 0 && written;
  if (target.mode == save_mode::in_place) return close_in_place(target, written);
  const int fd = fileno(target.file);
  if (target.mode == save_mode::replace) {
    if (save.existed) written = written && give_mode(save.original_fd, save.original, fd);
    written = written && fsync(fd) == 0 && fstat(fd, &save.left) == 0;
  }
  written = fclose(target.file) == 0 && written;
  target.file = nullptr;
  if (save.original_fd >= 0) close(save.original_fd);
  save.original_fd = -1;
  if (target.mode != save_mode::replace) {
    return written ? save_result::done : save_result::cant_write;
  }
  // A file written to while its replacement was made (a logger's new line)
  // would be lost with it: looked at again just before the rename.
  if (written && save.compared && !still_as_found(target)) {
    unlink(save.temporary.c_str());
    target.found = look_at(target.found.name.c_str(), save.path);
    return save_result::changed_on_disk;
  }
  if (!written || rename(save.temporary.c_str(), save.path.c_str()) != 0) {
    unlink(save.temporary.c_str());
    return save_result::cant_write;
  }
  // The new content is in place: a directory that can't be synced only
  // leaves the rename less sure to survive a power cut.
  sync_directory(save.path);
  return save_result::done;
}

}  // namespace

save_result close_save_target(save_target& target, bool written) {
  const save_result closed = close_target(target, written);
  if (closed == save_result::done && target.mode != save_mode::stream) {
    target.left = status_of(save.left);
  }
  if (closed == save_result::cant_write_kept_backup) target.backup = save.backup.path;
  return closed;
}
