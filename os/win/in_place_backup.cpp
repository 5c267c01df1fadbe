#include "os/win/in_place_backup.h"

#include <algorithm>

#include "os/win/system.h"

namespace {

// One save at a time: one buffer serves them all.
char buffer[1 << 17];

bool write_at(HANDLE handle, const char* data, size_t size, int64_t at) {
  while (size > 0) {
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(at) >> 32);
    DWORD done = 0;
    if (!WriteFile(handle, data, static_cast<DWORD>(size), &done, &where) || done == 0) {
      return false;
    }
    data += done;
    size -= done;
    at += done;
  }
  return true;
}

// Copies the first `size` bytes of `from` over the start of `to`.
bool copy_content(HANDLE from, HANDLE to, int64_t size) {
  for (int64_t at = 0; at < size;) {
    const size_t wanted = static_cast<size_t>(std::min<int64_t>(size - at, sizeof buffer));
    const int64_t n = read_handle_at(from, buffer, wanted, at);
    // Shorter than it was: not a copy of it.
    if (n <= 0 || !write_at(to, buffer, static_cast<size_t>(n), at)) return false;
    at += n;
  }
  return true;
}

HANDLE create_backup(const std::string& path, std::string& backup) {
  const std::string_view prefix = directory_prefix(path);
  const std::string_view base = std::string_view(path).substr(prefix.size());
  HANDLE handle = create_beside(prefix, base, false, backup);
  if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) return handle;
  wchar_t temporary[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
  if (length == 0 || length > MAX_PATH) return INVALID_HANDLE_VALUE;
  return create_beside(to_utf8(std::wstring_view(temporary, length)), base, false, backup);
}

}  // namespace

bool set_length(HANDLE handle, int64_t size) {
  FILE_END_OF_FILE_INFO end = {};
  end.EndOfFile.QuadPart = size;
  return SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end);
}

bool make_backup(const std::string& path, HANDLE target, in_place_backup& backup) {
  backup = in_place_backup();
  LARGE_INTEGER size;
  if (!GetFileSizeEx(target, &size)) return false;
  backup.size = size.QuadPart;
  backup.handle = create_backup(path, backup.path);
  // On disk with its name before the first byte of the file is written over.
  const bool made = backup.handle != INVALID_HANDLE_VALUE &&
                    copy_content(target, backup.handle, backup.size) &&
                    FlushFileBuffers(backup.handle);
  if (!made) drop_backup(backup);
  return made;
}

bool restore_backup(const in_place_backup& backup, HANDLE target, int64_t end, int64_t size) {
  if (!copy_content(backup.handle, target, backup.size)) return false;
  if (size <= end) return set_length(target, backup.size) && FlushFileBuffers(target);
  if (end == backup.size) return FlushFileBuffers(target);
  // Moved down onto the end of the old content, a block at a time: each is
  // read before anything after it is written over.
  int64_t kept = 0;
  for (int64_t from = end; from < size;) {
    const size_t wanted = static_cast<size_t>(std::min<int64_t>(size - from, sizeof buffer));
    const int64_t n = read_handle_at(target, buffer, wanted, from);
    if (n <= 0 || !write_at(target, buffer, static_cast<size_t>(n), backup.size + kept)) break;
    from += n;
    kept += n;
  }
  return kept == size - end && set_length(target, backup.size + kept) && FlushFileBuffers(target);
}

void drop_backup(in_place_backup& backup, bool keep) {
  if (backup.handle != INVALID_HANDLE_VALUE) {
    if (!keep) remove_open_file(backup.handle);
    CloseHandle(backup.handle);
  }
  backup.handle = INVALID_HANDLE_VALUE;
  if (!keep) backup.path.clear();
}
