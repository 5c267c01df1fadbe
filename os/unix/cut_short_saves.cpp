#include "texttable/cut_short_saves.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "os/os.h"
#include "os/unix/temporary_file.h"

namespace {

// As many links as a save follows before it gives up.
constexpr int most_links_followed = 40;

// The file a save of `name` writes: its symbolic links followed as a save
// follows them, each relative to the directory of the link.
std::string saved_path(const char* name) {
  std::string path = name;
  for (int followed = 0; followed < most_links_followed; ++followed) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<size_t>(length) == sizeof target) break;
    const std::string_view link(target, static_cast<size_t>(length));
    path = link.starts_with('/') ? std::string(link) : std::string(directory_prefix(path)) += link;
  }
  return path;
}

struct found_backup {
  std::string path;
  timespec modified;
};

}  // namespace

std::vector<std::string> os_cut_short_saves(const char* name) {
  const std::string path = saved_path(name);
  const std::string_view prefix = directory_prefix(path);
  const std::string_view base = std::string_view(path).substr(prefix.size());
  DIR* directory = base.empty() ? nullptr : opendir(directory_of(path).c_str());
  if (directory == nullptr) return {};
  std::vector<found_backup> found;
  while (const dirent* entry = readdir(directory)) {
    // Not a link, nor another user's file: those are no backup of ours.
    struct stat info;
    if (is_backup_name(entry->d_name, base) &&
        fstatat(dirfd(directory), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode) && info.st_uid == geteuid()) {
      found.push_back({std::string(prefix) + entry->d_name, info.st_mtim});
    }
  }
  closedir(directory);
  std::sort(found.begin(), found.end(), [](const found_backup& a, const found_backup& b) {
    return std::tie(a.modified.tv_sec, a.modified.tv_nsec, a.path) <
           std::tie(b.modified.tv_sec, b.modified.tv_nsec, b.path);
  });
  std::vector<std::string> paths;
  for (found_backup& backup : found) paths.push_back(std::move(backup.path));
  return paths;
}
