// The old content of a file that a save writes over in place, kept on disk
// until the new content is whole there.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct in_place_backup {
  std::string path;  // empty when there is none
  HANDLE handle = INVALID_HANDLE_VALUE;
  int64_t size = 0;  // of the old content
};

// Copies the content of `target`, the file at `path`, to a new backup beside
// it (in the directory for temporary files when its own takes no new file)
// and flushes it to disk. On failure no backup remains.
bool make_backup(const std::string& path, HANDLE target, in_place_backup& backup);

// Writes the old content back over `target` and flushes it. What another
// process appended, from `end` (the end of the save's own bytes) to `size`,
// follows the old content.
bool restore_backup(const in_place_backup& backup, HANDLE target, int64_t end, int64_t size);

// Makes `handle`'s file `size` bytes long, its position left alone.
bool set_length(HANDLE handle, int64_t size);

// Closes the backup and removes it unless `keep`.
void drop_backup(in_place_backup& backup, bool keep = false);
