// The file operations of os/files.h on Linux.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "os/files.h"
#include "os/unix/file_attributes.h"
#include "os/unix/status.h"

namespace {

constexpr int most_links_followed = 40;

os_error error_of(int error) {
  switch (error) {
    case 0:
      return os_error::none;
    case ENOENT:
    case ENOTDIR:
      return os_error::not_found;
    case EEXIST:
      return os_error::exists;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case ELOOP:
      return os_error::denied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return os_error::no_space;
    case EIO:
      return os_error::io;
    case EOPNOTSUPP:
    case EINVAL:
    case ENOSYS:
      return os_error::unsupported;
    case ENAMETOOLONG:
      return os_error::too_long;
    default:
      return os_error::other;
  }
}

os_error last_error() {
  return error_of(errno);
}

int fd_of(os_handle file) {
  return static_cast<int>(file);
}

// The facts that the status alone gives, and the attributes statx adds.
file_facts facts_from(const struct stat& info, int at, const char* path, int flags) {
  file_facts facts;
  facts.volume = info.st_dev;
  facts.number = info.st_ino;
  facts.type = S_ISLNK(info.st_mode) ? file_type::other : type_of(info.st_mode);
  facts.size = info.st_size;
  facts.links = static_cast<uint32_t>(info.st_nlink);
  facts.mode = info.st_mode & 07777;
  facts.changed = static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  facts.modified = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  facts.exact_time = info.st_ctim.tv_nsec != 0;
  facts.mine = info.st_uid == geteuid();
  struct statx extended;
  if (statx(at, path, flags, STATX_BASIC_STATS, &extended) == 0) {
    const uint64_t attributes = extended.stx_attributes & extended.stx_attributes_mask;
    // A file mounted over another (a container's volume of one file) can't
    // be renamed over.
    facts.fixed_in_place = attributes & STATX_ATTR_MOUNT_ROOT;
    facts.keeps_names = S_ISDIR(info.st_mode) && (attributes & STATX_ATTR_APPEND);
  }
  return facts;
}

// What only the directory of `path` tells: in a directory that others may
// write to and that has the sticky bit, a file may have been put there by
// another user to receive what this one writes, and only the owner of a
// file or of the directory may replace it.
void add_directory_facts(const std::string& path, const struct stat& info, file_facts& facts) {
  struct stat directory;
  if (stat(directory_of(path).c_str(), &directory) != 0) {
    facts.planted = !facts.mine;
    return;
  }
  const uid_t user = geteuid();
  const bool sticky = directory.st_mode & S_ISVTX;
  const bool shared = sticky && (directory.st_mode & (S_IWGRP | S_IWOTH));
  const bool others = info.st_uid != user && info.st_uid != directory.st_uid;
  facts.planted = shared && others && (S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode));
  facts.replace_forbidden = sticky && user != 0 && info.st_uid != user && directory.st_uid != user;
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

os_error resolve(const char* name, named_file& file) {
  file = named_file();
  std::string path = name;
  for (int followed = 0; followed <= most_links_followed; ++followed) {
    file.path = path;
    file.descriptor = descriptor_named(path);
    struct stat info;
    if (file.descriptor >= 0 || lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      return os_error::none;
    }
    if (is_planted_link(path, info)) return os_error::denied;
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    if (length < 0 || static_cast<size_t>(length) >= sizeof target) return os_error::none;
    const std::string_view link(target, static_cast<size_t>(length));
    path = link.starts_with('/') ? std::string(link) : std::string(directory_prefix(path)) += link;
  }
  return os_error::denied;
}

os_error look(const std::string& path, file_facts& facts) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return last_error();
  facts = facts_from(info, AT_FDCWD, path.c_str(), 0);
  add_directory_facts(path, info, facts);
  struct stat own;
  if (lstat(path.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) facts.fixed_in_place = true;
  return os_error::none;
}

os_error list(std::string_view directory, std::string_view containing,
              std::vector<directory_entry>& entries) {
  entries.clear();
  DIR* opened = opendir(directory.empty() ? "." : std::string(directory).c_str());
  if (opened == nullptr) return last_error();
  while (const dirent* entry = readdir(opened)) {
    struct stat info;
    if (std::string_view(entry->d_name).find(containing) == std::string_view::npos ||
        fstatat(dirfd(opened), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    entries.push_back(
        {entry->d_name, facts_from(info, dirfd(opened), entry->d_name, AT_SYMLINK_NOFOLLOW)});
  }
  closedir(opened);
  return os_error::none;
}

// The descriptor that a name such as /dev/stdout stands for: a regular file
// is written through a copy of it, where its output has got to; anything
// else is opened anew, which is the same pipe or terminal but is sure to
// wait when it is full.
int open_descriptor(const std::string& path) {
  const int descriptor = descriptor_named(path);
  int fd = descriptor >= 0 ? fcntl(descriptor, F_DUPFD_CLOEXEC, 0) : -1;
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || S_ISREG(info.st_mode)) return fd;
  const int reopened = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (reopened < 0) return fd;
  close(fd);
  return reopened;
}

os_error open(const std::string& path, open_access access, os_handle& file) {
  int fd;
  switch (access) {
    case open_access::read:
      fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
      break;
    case open_access::descriptor:
      fd = open_descriptor(path);
      break;
    default:
      // Never waiting for a FIFO's reader, and never made where absent.
      fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
      break;
  }
  if (fd < 0) return last_error();
  // Written waiting for the reader, once there is one.
  const int flags = fcntl(fd, F_GETFL);
  if (access == open_access::write_only &&
      (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) {
    const os_error error = last_error();
    close(fd);
    return error;
  }
  file = fd;
  return os_error::none;
}

os_error create(const std::string& path, bool private_file, os_handle& file) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        private_file ? 0600 : 0666);
  if (fd < 0) return last_error();
  file = fd;
  return os_error::none;
}

os_error facts_of(os_handle file, file_facts& facts) {
  struct stat info;
  if (fstat(fd_of(file), &info) != 0) return last_error();
  facts = facts_from(info, fd_of(file), "", AT_EMPTY_PATH);
  return os_error::none;
}

int64_t read_at(os_handle file, void* buffer, size_t size, int64_t offset, os_error& error) {
  for (;;) {
    const ssize_t n = pread(fd_of(file), buffer, size, offset);
    if (n >= 0 || errno != EINTR) {
      error = n >= 0 ? os_error::none : last_error();
      return n;
    }
  }
}

// A signal that breaks off a write to a FIFO or terminal (Ctrl-C, while its
// reader has stopped reading) ends it: written again, it would wait on.
template <typename write_function>
os_error write_all(const void* bytes, size_t size, bool go_on, write_function write_some) {
  const char* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t done = write_some(at, size);
    if (done < 0 && errno == EINTR && go_on) continue;
    if (done <= 0) return done < 0 ? last_error() : os_error::io;
    at += done;
    size -= static_cast<size_t>(done);
    // Cut short by a Ctrl-C after some of it went out.
    if (size > 0 && !go_on && take_cancel_request()) return os_error::other;
  }
  return os_error::none;
}

os_error write_at(os_handle file, const void* bytes, size_t size, int64_t offset) {
  const char* start = static_cast<const char*>(bytes);
  return write_all(bytes, size, true, [&](const char* at, size_t left) {
    return pwrite(fd_of(file), at, left, offset + (at - start));
  });
}

os_error write(os_handle file, const void* bytes, size_t size) {
  return write_all(bytes, size, false,
                   [&](const char* at, size_t left) { return ::write(fd_of(file), at, left); });
}

os_error set_length(os_handle file, int64_t size) {
  // Lengthened with its room taken, where the file system can.
  struct stat info;
  if (fstat(fd_of(file), &info) == 0 && size > info.st_size &&
      fallocate(fd_of(file), 0, 0, size) == 0) {
    return os_error::none;
  }
  return ftruncate(fd_of(file), size) == 0 ? os_error::none : last_error();
}

os_error reserve(os_handle file, int64_t size) {
  rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<rlim_t>(size) > limit.rlim_cur) {
    return os_error::no_space;
  }
  if (size == 0 || fallocate(fd_of(file), FALLOC_FL_KEEP_SIZE, 0, size) == 0) {
    return os_error::none;
  }
  return last_error();
}

os_error sync(os_handle file) {
  return fsync(fd_of(file)) == 0 ? os_error::none : last_error();
}

void close_handle(os_handle file) {
  close(fd_of(file));
}

bool identity(os_handle from, const file_facts& facts, os_handle to) {
  struct stat old;
  return fstat(fd_of(from), &old) == 0 && old.st_dev == facts.volume &&
         old.st_ino == facts.number && give_identity(fd_of(from), old, fd_of(to));
}

bool mode(os_handle from, const file_facts& facts, os_handle to) {
  // Written over in place: writing took away the file's set-ID bits. Its
  // owner gives them back; for anyone else they stay off, which lets no one
  // in.
  if (from == to) {
    return (facts.mode & (S_ISUID | S_ISGID)) == 0 || fchmod(fd_of(to), facts.mode) == 0;
  }
  struct stat old;
  return fstat(fd_of(from), &old) == 0 && give_mode(fd_of(from), old, fd_of(to));
}

os_error replace(const std::string& from, const std::string& to, const std::string&) {
  return rename(from.c_str(), to.c_str()) == 0 ? os_error::none : last_error();
}

os_error place(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return os_error::none;
  }
  if (errno != EINVAL && errno != ENOSYS) return last_error();
  // A file system that can't rename without replacing can still link; one
  // without links is asked first whether the name is free.
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return os_error::none;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return last_error();
  struct stat info;
  if (lstat(to.c_str(), &info) == 0) return os_error::exists;
  return rename(from.c_str(), to.c_str()) == 0 ? os_error::none : last_error();
}

os_error remove_if_same(const std::string& path, const file_facts& which) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return last_error();
  if (info.st_dev != which.volume || info.st_ino != which.number) return os_error::exists;
  return unlink(path.c_str()) == 0 ? os_error::none : last_error();
}

os_error sync_directory(const std::string& path) {
  const int fd = ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return os_error::unsupported;
  // Some file systems do not sync directories: no failure.
  const bool synced = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
  close(fd);
  return synced ? os_error::none : last_error();
}

std::string temporary_directory() {
  const char* temporary = getenv("TMPDIR");
  std::string directory = temporary != nullptr && *temporary != '\0' ? temporary : "/tmp";
  if (!directory.ends_with('/')) directory += '/';
  return directory;
}

void random_letters(char* out, size_t count) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static unsigned counter = 0;
  unsigned char bytes[64] = {};
  if (count > sizeof bytes) count = sizeof bytes;
  if (getrandom(bytes, count, GRND_NONBLOCK) != static_cast<ssize_t>(count)) {
    const unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u + ++counter * 40503u;
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(seed >> (i * 5));
  }
  for (size_t i = 0; i < count; ++i) out[i] = letters[bytes[i] % (sizeof letters - 1)];
}

const os_file_system unix_files = {
    resolve,        look,    list,           open,           create,
    facts_of,       read_at, write_at,       write,          set_length,
    reserve,        sync,    close_handle,   identity,       mode,
    replace,        place,   remove_if_same, sync_directory, temporary_directory,
    random_letters,
};

}  // namespace

const os_file_system* os_files = &unix_files;

const os_file_system* os_system_files() {
  return &unix_files;
}

std::string_view directory_prefix(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

std::string directory_of(std::string_view path) {
  const std::string_view prefix = directory_prefix(path);
  if (prefix.empty()) return ".";
  if (prefix.size() == 1) return "/";
  return std::string(prefix.substr(0, prefix.size() - 1));
}

bool names_match(std::string_view a, std::string_view b) {
  return a == b;
}
