// Files a save makes beside the one it writes: the replacement,
// ".NAME.plinth-new-XXXXXX", and the backup, ".NAME.plinth-XXXXXX", so that
// one left by a kill says what it is, and a part-written replacement is
// never taken for a backup of old content.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// "dir/" for "dir/name", "" for a name without a directory.
std::string_view directory_prefix(std::string_view path);
// "dir" for "dir/name", "." for a name without a directory.
std::string directory_of(std::string_view path);

// Creates a new file of this process's own in `directory` (a prefix as
// directory_prefix gives) for a file named `base`, opened with `flags` and
// O_CREAT | O_EXCL, and sets `path` to it. -1 with errno on failure; EPERM
// in an append-only directory, where it could never be removed.
// `replacement` picks the replacement's name rather than the backup's.
int create_temporary(std::string_view directory, std::string_view base, bool replacement, int flags,
                     mode_t mode, std::string& path);

// Makes the names in the directory of `path` durable. A directory this user
// may not read can't be synced, and some file systems do not sync
// directories: neither is a failure.
bool sync_directory(const std::string& path);
