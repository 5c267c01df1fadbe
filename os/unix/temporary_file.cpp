#include "os/unix/temporary_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

namespace {

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

}  // namespace

// ".plinth-XXXXXX" (".plinth-new-XXXXXX") when NAME leaves no room for the
// longer name.
int create_temporary(std::string_view directory, std::string_view base, bool replacement, int flags,
                     mode_t mode, std::string& path) {
  // An append-only directory keeps every name made in it: a temporary file
  // could be neither renamed nor removed. Refused as by a directory that
  // takes no new file, so that the save goes elsewhere or in place.
  struct statx info;
  if (statx(AT_FDCWD, directory_of(directory).c_str(), 0, STATX_BASIC_STATS, &info) == 0 &&
      (info.stx_attributes & info.stx_attributes_mask & STATX_ATTR_APPEND)) {
    path.clear();
    errno = EPERM;
    return -1;
  }
  long name_max = pathconf(directory_of(directory).c_str(), _PC_NAME_MAX);
  if (name_max <= 0) name_max = NAME_MAX;
  const std::string_view suffix = replacement ? ".plinth-new-" : ".plinth-";
  constexpr size_t letters = 6;
  bool short_name = 1 + base.size() + suffix.size() + letters > static_cast<size_t>(name_max);
  for (int attempt = 0; attempt < 100; ++attempt) {
    path.assign(directory);
    path += '.';
    if (!short_name) path.append(base);
    path.append(suffix.substr(short_name ? 1 : 0));
    path.append(letters, 'X');
    random_letters(path.data() + path.size() - letters, letters);
    int fd = open(path.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    if (errno == ENAMETOOLONG && !short_name) {
      short_name = true;
    } else if (errno != EEXIST) {
      break;
    }
  }
  const int error = errno;
  path.clear();
  errno = error;
  return -1;
}

bool sync_directory(const std::string& path) {
  int fd = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  bool synced = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
  close(fd);
  return synced;
}
