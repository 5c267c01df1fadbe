#include "texttable/save_target.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "shell/shell.h"

namespace {

constexpr int most_links_followed = 40;
constexpr size_t write_buffer_size = 1 << 16;

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool is_file(const struct stat& target, const char* other) {
  struct stat info;
  return stat(other, &info) == 0 && same_file(target, info);
}

// "dir/" for "dir/name", "" for a name without a directory.
std::string_view directory_prefix(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

std::string directory_of(std::string_view path) {
  std::string_view prefix = directory_prefix(path);
  if (prefix.empty()) return ".";
  if (prefix.size() == 1) return "/";
  return std::string(prefix.substr(0, prefix.size() - 1));
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

// A new file would lose the second name of a file with several, its place as
// a mount point, and the extended attributes or access lists of this one (a
// security label, which every file of some systems has and a new file gets
// anew, aside).
bool must_write_in_place(int fd, const struct stat& info) {
  if (info.st_nlink > 1) return true;
  // A file mounted over another (a container's volume of one file) can't be
  // renamed over.
  struct statx extended;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &extended) == 0 &&
      (extended.stx_attributes & extended.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)) {
    return true;
  }
  ssize_t size = flistxattr(fd, nullptr, 0);
  if (size <= 0) return false;
  std::vector<char> names(static_cast<size_t>(size));
  size = flistxattr(fd, names.data(), names.size());
  if (size < 0) return true;
  for (std::string_view list(names.data(), static_cast<size_t>(size)); !list.empty();) {
    std::string_view name = list.substr(0, list.find('\0'));
    if (name != "security.selinux") return true;
    list.remove_prefix(std::min(name.size() + 1, list.size()));
  }
  return false;
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

void random_letters(char* out, size_t count) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static unsigned counter = 0;
  unsigned char bytes[16] = {};
  if (getrandom(bytes, count, GRND_NONBLOCK) != static_cast<ssize_t>(count)) {
    unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u + ++counter * 40503u;
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(seed >> (i * 5));
  }
  for (size_t i = 0; i < count; ++i) out[i] = letters[bytes[i] % (sizeof letters - 1)];
}

// Creates the temporary file beside `path`: ".NAME.plinth-XXXXXX", so that one
// left by a kill says what it is, or ".plinth-XXXXXX" when NAME leaves no room.
int create_temporary(const std::string& path, mode_t mode, std::string& temporary) {
  std::string_view prefix = directory_prefix(path);
  std::string_view base = std::string_view(path).substr(prefix.size());
  long name_max = pathconf(directory_of(path).c_str(), _PC_NAME_MAX);
  if (name_max <= 0) name_max = NAME_MAX;
  constexpr std::string_view suffix = ".plinth-";
  constexpr size_t letters = 6;
  bool short_name = 1 + base.size() + suffix.size() + letters > static_cast<size_t>(name_max);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary.assign(prefix);
    temporary += '.';
    if (!short_name) temporary.append(base);
    temporary.append(suffix.substr(short_name ? 1 : 0));
    temporary.append(letters, 'X');
    random_letters(temporary.data() + temporary.size() - letters, letters);
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    if (errno == ENAMETOOLONG && !short_name) {
      short_name = true;
    } else if (errno != EEXIST) {
      break;
    }
  }
  temporary.clear();
  return -1;
}

bool no_room(int error) {
  return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

// Takes the room for the text before a byte is written, so that a full disk
// or a file size limit fails the save at once, not halfway. Systems that
// can't reserve room just write.
bool reserve(int fd, off_t size) {
  rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<rlim_t>(size) > limit.rlim_cur) {
    return false;
  }
  if (size == 0) return true;
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0) return true;
  return !no_room(errno);
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

// Starts writing over the target's own bytes.
save_result open_in_place(save_target& target, int fd) {
  target.mode = save_mode::in_place;
  if (!reserve(fd, target.size)) {
    close(fd);
    return save_result::cant_write;
  }
  return take_file(target, fd) ? save_result::done : save_result::cant_write;
}

// Starts writing the temporary file that is to replace the target. `fd` is
// the target opened for writing, or -1 when it does not exist yet.
save_result open_replacement(save_target& target, int fd) {
  target.mode = save_mode::replace;
  // Made private: it gets the target's permissions only once it is complete.
  // A new file gets what a new file gets here (0666 less the umask, or the
  // directory's default access list).
  int temporary = create_temporary(target.path, target.existed ? 0600 : 0666, target.temporary);
  if (temporary < 0) {
    const int error = errno;
    // A directory that takes no new file may still let the file be written.
    if (fd >= 0 && (error == EACCES || error == EPERM || error == EROFS)) {
      return open_in_place(target, fd);
    }
    if (fd >= 0) close(fd);
    return no_room(error) ? save_result::cant_write : save_result::cant_open;
  }
  if (fd >= 0) close(fd);
  bool opened = reserve(temporary, target.size);
  if (!opened) close(temporary);
  opened = opened && take_file(target, temporary);
  if (!opened) {
    unlink(target.temporary.c_str());
    target.temporary.clear();
    return save_result::cant_write;
  }
  return save_result::done;
}

// The new file takes the old one's owner and group as far as this user may
// give them, then its permissions; a set-ID bit stays only with its owner or
// group.
bool keep_attributes(int fd, const struct stat& old) {
  if (fchown(fd, old.st_uid, old.st_gid) != 0 &&
      fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
    // Neither: the file stays this user's, in this user's group.
  }
  mode_t mode = old.st_mode & 07777;
  struct stat now;
  if (fstat(fd, &now) != 0) return false;
  if (now.st_uid != old.st_uid) mode &= ~S_ISUID;
  if (now.st_gid != old.st_gid) mode &= ~S_ISGID;
  return fchmod(fd, mode) == 0;
}

// Makes the rename itself durable. A directory this user may not read can't
// be synced, and some file systems do not sync directories: neither is a
// failure of the save.
bool sync_directory(const std::string& path) {
  int fd = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  bool synced = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
  close(fd);
  return synced;
}

// Opens `name` for writing as it stands, without emptying it and without
// waiting for a FIFO's reader. With O_CREAT, as any file about to be written
// is opened, so that the system's protections for files in shared
// directories apply; the file is known to exist.
int open_existing(const char* name) {
  return open(name, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
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

}  // namespace

save_result open_save_target(const char* name, off_t size, const seen_file* seen,
                             save_target& target) {
  target = save_target();
  target.path = name;
  target.size = size;
  int descriptor = -1;
  bool exists = false;
  if (!follow_links(target.path, descriptor, exists)) return save_result::cant_open;

  if (descriptor < 0 && !exists) {
    // Made through a temporary file like any other.
    if (target.path.ends_with('/') || is_scratch_file(target.path)) {
      return save_result::cant_open;
    }
    return open_replacement(target, -1);
  }
  const int fd = descriptor >= 0 ? open_descriptor(name, descriptor) : open_existing(name);
  if (fd < 0) return save_result::cant_open;
  target.existed = true;
  struct stat followed;
  if (fstat(fd, &target.original) != 0 || is_scratch_file(target.path) ||
      is_file(target.original, scratch_db_name) || is_file(target.original, scratch_journal_name) ||
      // The system and we must have followed the name to the same file.
      (descriptor < 0 &&
       (stat(target.path.c_str(), &followed) != 0 || !same_file(followed, target.original)))) {
    return cant_open(fd);
  }
  if (!S_ISREG(target.original.st_mode) || descriptor >= 0) {
    target.mode = save_mode::stream;
    // Opened without waiting for a FIFO's reader; written waiting for it. A
    // regular file's descriptor is shared with standard output: left alone.
    const int flags = fcntl(fd, F_GETFL);
    if (!S_ISREG(target.original.st_mode) &&
        (flags < 0 || ((flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0))) {
      return cant_open(fd);
    }
    return take_file(target, fd) ? save_result::done : save_result::cant_open;
  }
  if (seen != nullptr && (changed_since_seen(*seen, target.original) || seen->cut_at_zero)) {
    close(fd);
    return changed_since_seen(*seen, target.original) ? save_result::changed_on_disk
                                                      : save_result::cut_at_zero;
  }
  if (must_write_in_place(fd, target.original) ||
      directory_forbids_replacing(target.path, target.original)) {
    return open_in_place(target, fd);
  }
  return open_replacement(target, fd);
}

save_result close_save_target(save_target& target, bool written) {
  const int fd = fileno(target.file);
  written = fflush(target.file) == 0 && written;
  if (target.mode == save_mode::in_place) {
    written = written && ftruncate(fd, target.size) == 0;
  }
  if (target.mode == save_mode::replace && target.existed) {
    written = written && keep_attributes(fd, target.original);
  }
  if (target.mode != save_mode::stream) {
    written = written && fsync(fd) == 0 && fstat(fd, &target.left) == 0;
  }
  written = fclose(target.file) == 0 && written;
  target.file = nullptr;
  if (target.mode != save_mode::replace) {
    return written ? save_result::done : save_result::cant_write;
  }
  if (!written || rename(target.temporary.c_str(), target.path.c_str()) != 0) {
    unlink(target.temporary.c_str());
    return save_result::cant_write;
  }
  // The new content is in place; a failure here only says it may not survive
  // a power cut.
  return sync_directory(target.path) ? save_result::done : save_result::cant_write;
}
