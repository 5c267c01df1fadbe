#include "os/unix/file_attributes.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr char access_list[] = "system.posix_acl_access";

// Fills `out` with what `get` reports, asking again when it grew in between.
template <typename get_function>
bool read_sized(std::vector<char>& out, get_function get) {
  for (;;) {
    ssize_t size = get(nullptr, 0);
    if (size < 0) return false;
    out.resize(static_cast<size_t>(size));
    if (size == 0) return true;
    size = get(out.data(), out.size());
    if (size >= 0) {
      out.resize(static_cast<size_t>(size));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

bool attribute_value(int fd, const char* name, std::vector<char>& value) {
  return read_sized(value,
                    [&](char* data, size_t size) { return fgetxattr(fd, name, data, size); });
}

// Sets on `to` every extended attribute of `from` that it lacks or holds with
// another value; raw, so an access list goes across entry for entry.
bool copy_attributes(int from, int to, bool& has_access_list) {
  std::vector<char> names;
  if (!read_sized(names, [&](char* data, size_t size) { return flistxattr(from, data, size); })) {
    // A file system without extended attributes.
    return errno == ENOTSUP;
  }
  std::vector<char> value;
  std::vector<char> present;
  for (size_t at = 0; at < names.size(); at += strlen(names.data() + at) + 1) {
    const char* name = names.data() + at;
    if (strcmp(name, access_list) == 0) has_access_list = true;
    if (!attribute_value(from, name, value)) return false;
    if (attribute_value(to, name, present) && present == value) continue;
    if (fsetxattr(to, name, value.data(), value.size(), 0) != 0) return false;
  }
  return true;
}

bool has_mode(int fd, const struct stat& old) {
  struct stat now;
  return fstat(fd, &now) == 0 && (now.st_mode & 07777) == (old.st_mode & 07777);
}

}  // namespace

bool give_identity(int from, const struct stat& old, int to) {
  // Owner and group first: a change of owner clears set-ID bits and a file
  // capability.
  struct stat now;
  if (fchown(to, old.st_uid, old.st_gid) != 0 || fstat(to, &now) != 0 || now.st_uid != old.st_uid ||
      now.st_gid != old.st_gid) {
    return false;
  }
  bool has_access_list = false;
  if (!copy_attributes(from, to, has_access_list)) return false;
  // A new file takes its directory's default access list, which may name
  // users the old file did not let in.
  if (!has_access_list && fremovexattr(to, access_list) != 0 && errno != ENODATA &&
      errno != ENOTSUP) {
    return false;
  }
  // A set-group-ID bit the system would drop shows here, before a byte is
  // written. Only the owner's bits stay while the text is incomplete; with
  // an access list, narrowing its mask this way is undone exactly by the
  // final mode.
  return fchmod(to, old.st_mode & 07777) == 0 && has_mode(to, old) &&
         fchmod(to, old.st_mode & 0600) == 0;
}

bool give_mode(int from, const struct stat& old, int to) {
  bool has_access_list = false;
  return fchmod(to, old.st_mode & 07777) == 0 && copy_attributes(from, to, has_access_list) &&
         has_mode(to, old);
}
