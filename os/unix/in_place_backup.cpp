#include "os/unix/in_place_backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "os/unix/temporary_file.h"

int reopen_for_reading(const std::string& path, int target) {
  const std::string self = "/proc/self/fd/" + std::to_string(target);
  int fd = open(self.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return fd;
  // Without /proc: by name, when the name still leads to it.
  fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat opened;
  struct stat written;
  if (fd >= 0 && (fstat(fd, &opened) != 0 || fstat(target, &written) != 0 ||
                  opened.st_dev != written.st_dev || opened.st_ino != written.st_ino)) {
    close(fd);
    errno = ESTALE;
    return -1;
  }
  return fd;
}

namespace {

// One save at a time: one buffer serves them all.
char buffer[1 << 17];

bool write_all(int fd, const char* data, size_t size, off_t at) {
  while (size > 0) {
    ssize_t done = pwrite(fd, data, size, at);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    size -= static_cast<size_t>(done);
    at += done;
  }
  return true;
}

// Copies the first `size` bytes of `from` over the start of `to`: within the
// kernel where the file systems allow it, else through a buffer.
bool copy_content(int from, int to, off_t size) {
  off_t in = 0;
  off_t out = 0;
  bool in_kernel = true;
  while (in < size) {
    const size_t wanted = static_cast<size_t>(std::min<off_t>(size - in, 1 << 30));
    ssize_t done;
    if (in_kernel) {
      done = copy_file_range(from, &in, to, &out, wanted, 0);
      if (done < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                       errno == EOPNOTSUPP || errno == EBADF)) {
        in_kernel = false;
        continue;
      }
    } else {
      done = pread(from, buffer, std::min(wanted, sizeof buffer), in);
      if (done > 0) {
        if (!write_all(to, buffer, static_cast<size_t>(done), out)) return false;
        in += done;
        out += done;
      }
    }
    if (done < 0 && errno == EINTR) continue;
    // Shorter than it was: not a copy of it.
    if (done <= 0) return false;
  }
  return true;
}

// Creates the backup beside `path`, or in the directory for temporary files
// when that directory takes no new file.
int create_backup(const std::string& path, std::string& backup) {
  const std::string_view prefix = directory_prefix(path);
  const std::string_view base = std::string_view(path).substr(prefix.size());
  int fd = create_temporary(prefix, base, false, O_RDWR, 0600, backup);
  if (fd >= 0 || (errno != EACCES && errno != EPERM && errno != EROFS)) return fd;
  const char* temporary = getenv("TMPDIR");
  std::string elsewhere = temporary != nullptr && *temporary != '\0' ? temporary : "/tmp";
  if (!elsewhere.ends_with('/')) elsewhere += '/';
  return create_temporary(elsewhere, base, false, O_RDWR, 0600, backup);
}

}  // namespace

bool make_backup(const std::string& path, int target, in_place_backup& backup) {
  backup = in_place_backup();
  const int reader = reopen_for_reading(path, target);
  if (reader < 0) return false;
  struct stat info = {};
  bool made = fstat(reader, &info) == 0 && (backup.fd = create_backup(path, backup.path)) >= 0;
  backup.size = info.st_size;
  // Synced with its name before the first byte of the file is written over.
  made = made && copy_content(reader, backup.fd, backup.size) && fsync(backup.fd) == 0 &&
         sync_directory(backup.path);
  const int error = errno;
  close(reader);
  if (!made) drop_backup(backup);
  errno = error;
  return made;
}

bool restore_backup(const in_place_backup& backup, const std::string& path, int target, off_t end,
                    off_t size) {
  if (!copy_content(backup.fd, target, backup.size)) return false;
  if (size <= end) return ftruncate(target, backup.size) == 0 && fsync(target) == 0;
  if (end == backup.size) return fsync(target) == 0;
  // Moved down onto the end of the old content, a block at a time: each is
  // read before anything after it is written over.
  const int reader = reopen_for_reading(path, target);
  off_t kept = 0;
  for (off_t from = end; reader >= 0 && from < size;) {
    const size_t wanted = static_cast<size_t>(std::min<off_t>(size - from, sizeof buffer));
    ssize_t n = pread(reader, buffer, wanted, from);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !write_all(target, buffer, static_cast<size_t>(n), backup.size + kept)) break;
    from += n;
    kept += n;
  }
  if (reader >= 0) close(reader);
  return kept == size - end && ftruncate(target, backup.size + kept) == 0 && fsync(target) == 0;
}

void drop_backup(in_place_backup& backup, bool keep) {
  if (backup.fd >= 0) close(backup.fd);
  if (!keep && !backup.path.empty()) unlink(backup.path.c_str());
  backup.fd = -1;
  if (!keep) backup.path.clear();
}
