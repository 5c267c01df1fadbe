// The scratch database's file, held by the run that took it (shell/
// decides which file a run may take): a handle of it stays open for the
// whole run with one byte locked (see scratch_file_ops.cpp). A run leaving
// removes it.
#include "os/scratch_file.h"

#include "os/scratch_names.h"
#include "os/win/system.h"

namespace {

// Read by the console's handler thread: made before the file is taken.
std::wstring database_name;
std::wstring side_names[3];
HANDLE held = INVALID_HANDLE_VALUE;

void name_files() {
  if (!database_name.empty()) return;
  database_name = to_utf16(scratch_db_name);
  side_names[0] = to_utf16(scratch_journal_name);
  side_names[1] = to_utf16(scratch_wal_name);
  side_names[2] = to_utf16(scratch_shm_name);
}

bool status_of_name(const std::wstring& name, file_status& status,
                    BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE handle = open_to_look(name);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = status_of(handle, status, &info);
  CloseHandle(handle);
  return known;
}

bool still_named(HANDLE handle) {
  file_status now;
  file_status named;
  BY_HANDLE_FILE_INFORMATION info;
  return status_of(handle, now) && status_of_name(database_name, named, info) &&
         same_file(now, named);
}

// Removes the scratch database and the files beside it when the name still
// gives the file open as `held`: one made since is never removed. The side files
// first, while this run holds the database's lock. A database that can't be
// removed is emptied, so that it holds no tables; false then. Nothing here
// allocates: the main thread may be stopped anywhere.
bool remove_held(HANDLE held) {
  if (!still_named(held)) return true;
  for (const std::wstring& name : side_names) {
    const HANDLE side = CreateFileW(name.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (side == INVALID_HANDLE_VALUE) continue;
    file_status status;
    if (status_of(side, status) && status.type == file_type::regular) remove_open_file(side);
    CloseHandle(side);
  }
  const HANDLE database =
      CreateFileW(database_name.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  bool removed = false;
  if (database == INVALID_HANDLE_VALUE) {
    removed = GetLastError() == ERROR_FILE_NOT_FOUND;
  } else {
    file_status found;
    file_status own;
    removed = !status_of(database, found) || !status_of(held, own) || !same_file(found, own) ||
              remove_open_file(database);
    CloseHandle(database);
  }
  if (removed) return true;
  const LARGE_INTEGER start = {};
  if (SetFilePointerEx(held, start, nullptr, FILE_BEGIN)) SetEndOfFile(held);
  return false;
}

}  // namespace

void os_hold_scratch_file(scratch_handle file) {
  name_files();
  held = reinterpret_cast<HANDLE>(file);
}

bool scratch_file_held() {
  return held != INVALID_HANDLE_VALUE;
}

void os_let_go_scratch_file(bool remove) {
  if (remove) {
    leave_scratch_db();
    return;
  }
  const HANDLE handle = held;
  held = INVALID_HANDLE_VALUE;
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

bool leave_scratch_db() {
  const HANDLE handle = held;
  if (handle == INVALID_HANDLE_VALUE) return true;
  const bool removed = remove_held(handle);
  held = INVALID_HANDLE_VALUE;
  CloseHandle(handle);
  return removed;
}
