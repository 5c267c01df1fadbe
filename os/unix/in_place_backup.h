// The old content of a file that a save writes over in place, kept on disk
// until the new content is whole there, so that whatever stops the save the
// old content is somewhere whole.
#pragma once

#include <sys/types.h>

#include <string>

struct in_place_backup {
  std::string path;  // empty when there is none
  int fd = -1;
  off_t size = 0;  // of the old content
};

// Copies the content of `target`, the file open for writing at `path`, to a
// new backup beside it (in $TMPDIR or /tmp when its directory takes no new
// file) and syncs it. On failure no backup remains and errno says why.
bool make_backup(const std::string& path, int target, in_place_backup& backup);

// Writes the old content back over `target`, the file open for writing at
// `path`, and syncs it. What another process appended to it, from `end`,
// the end of the save's own bytes, to `size`, follows the old content.
bool restore_backup(const in_place_backup& backup, const std::string& path, int target, off_t end,
                    off_t size);

// The file open for writing as `fd` at `path`, opened anew for reading, or
// -1 with errno.
int reopen_for_reading(const std::string& path, int fd);

// Closes the backup and removes it unless `keep`.
void drop_backup(in_place_backup& backup, bool keep = false);
