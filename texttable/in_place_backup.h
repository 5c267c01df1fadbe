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

// Writes the old content back over `target`, at the old length, and syncs it.
bool restore_backup(const in_place_backup& backup, int target);

// Closes the backup and removes it unless `keep`.
void drop_backup(in_place_backup& backup, bool keep = false);
