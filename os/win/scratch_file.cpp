// The scratch database's file, held by one run alone: a handle of it stays
// open for the whole run with one byte locked, far past the bytes the
// engine locks, so that a second run in the directory finds it taken. The
// handle has no DELETE access, which the engine's own opens would refuse
// to share.
#include <cstring>

#include "os/win/system.h"
#include "shell/shell.h"

namespace {

constexpr uint64_t lock_offset = uint64_t{1} << 40;

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

// Why the file at `name` is not one a run may use, or null. Through a link
// or a second name the engine would write into a file known by another.
const char* refusal(const std::wstring& name, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return "is a symbolic link";
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "is not a regular file";
  file_status status;
  BY_HANDLE_FILE_INFORMATION info;
  if (!status_of_name(name, status, info) || status.type != file_type::regular) {
    return "is not a regular file";
  }
  if (info.nNumberOfLinks > 1) return "has another name (a hard link)";
  return nullptr;
}

std::string named(const char* name, const char* why) {
  return std::string(name) + " " + why;
}

scratch_found refused(std::string& reason, std::string text) {
  reason = std::move(text);
  return scratch_found::refused;
}

bool side_file_acceptable(const std::wstring& wide, const char* name, std::string& reason) {
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    reason = system_message(error);
    return false;
  }
  const char* why = refusal(wide, attributes);
  if (why != nullptr) reason = named(name, why);
  return why == nullptr;
}

bool read_start(const std::wstring& name, void* start, DWORD size, DWORD& got) {
  const HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool read = ReadFile(handle, start, size, &got, nullptr);
  CloseHandle(handle);
  return read;
}

// An empty file is one the engine makes a database of; one whose first
// transaction a kill stopped has no header yet, beside the journal that
// undoes it.
bool has_database_header(HANDLE handle, std::string& reason) {
  static const char header[16] = "SQLite format 3";
  static const char unwritten[16] = {};
  static const unsigned char journal_header[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
  char start[sizeof header];
  const int64_t n = read_handle_at(handle, start, sizeof start, 0);
  if (n < 0) {
    reason = system_message(GetLastError());
    return false;
  }
  if (n == 0 || (n == sizeof start && memcmp(start, header, sizeof header) == 0)) return true;
  unsigned char journal[sizeof journal_header];
  DWORD got = 0;
  if (n == sizeof start && memcmp(start, unwritten, sizeof start) == 0 &&
      read_start(side_names[0], journal, sizeof journal, got) && got == sizeof journal &&
      memcmp(journal, journal_header, sizeof journal) == 0) {
    return true;
  }
  reason = sqlite3_errstr(SQLITE_NOTADB);
  return false;
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

scratch_found open_checked(HANDLE& handle, bool& created, std::string& reason) {
  created = false;
  const DWORD access = GENERIC_READ | GENERIC_WRITE;
  const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  file_status seen;
  const DWORD attributes = GetFileAttributesW(database_name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (const char* why = refusal(database_name, attributes)) {
      return refused(reason, named(scratch_db_name, why));
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!status_of_name(database_name, seen, info)) return scratch_found::vanished;
    handle = CreateFileW(database_name.c_str(), access, sharing, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  } else if (GetLastError() == ERROR_FILE_NOT_FOUND) {
    handle = CreateFileW(database_name.c_str(), access, sharing, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    created = handle != INVALID_HANDLE_VALUE;
  } else {
    return refused(reason, system_message(GetLastError()));
  }
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_FILE_EXISTS) {
      return scratch_found::vanished;
    }
    return refused(reason, system_message(error));
  }
  file_status status;
  BY_HANDLE_FILE_INFORMATION info;
  scratch_found result = scratch_found::taken;
  if (!status_of(handle, status, &info)) {
    result = refused(reason, system_message(GetLastError()));
  } else if (info.nNumberOfLinks == 0 || (!created && !same_file(status, seen))) {
    result = scratch_found::vanished;
  } else if (status.type != file_type::regular) {
    result = refused(reason, named(scratch_db_name, "is not a regular file"));
  } else if (info.nNumberOfLinks > 1) {
    result = refused(reason, named(scratch_db_name, "has another name (a hard link)"));
  } else if (!created && !has_database_header(handle, reason)) {
    result = scratch_found::refused;
  }
  if (result != scratch_found::taken) {
    // What this run made goes again.
    if (created) remove_held(handle);
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  return result;
}

// A run that holds the file may be leaving: it removes the file before it
// lets go of it, so the name is watched for a moment before the file is
// called in use.
scratch_found lock_alone(HANDLE handle, std::string& reason) {
  for (int tries = 0; tries < 25; ++tries) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(lock_offset);
    at.OffsetHigh = static_cast<DWORD>(lock_offset >> 32);
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      return scratch_found::taken;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
      return refused(reason, system_message(error));
    }
    if (!still_named(handle)) return scratch_found::vanished;
    Sleep(10);
  }
  return refused(reason, named(scratch_db_name, "is in use by another run"));
}

}  // namespace

bool scratch_file_held() {
  return held != INVALID_HANDLE_VALUE;
}

scratch_found os_take_scratch_file(std::string& reason, bool& created) {
  name_files();
  for (int i = 0; i < 3; ++i) {
    const char* names[] = {scratch_journal_name, scratch_wal_name, scratch_shm_name};
    if (!side_file_acceptable(side_names[i], names[i], reason)) return scratch_found::refused;
  }
  // Held while the file may be made and locked, so that it is not left
  // behind unknown.
  hold_interrupts(true);
  HANDLE handle = INVALID_HANDLE_VALUE;
  scratch_found result = open_checked(handle, created, reason);
  if (result == scratch_found::taken) result = lock_alone(handle, reason);
  // The last run to leave may have removed it meanwhile: work on a removed
  // file would be lost, so start again.
  if (result == scratch_found::taken && !still_named(handle)) result = scratch_found::vanished;
  if (result == scratch_found::taken) {
    held = handle;
  } else if (handle != INVALID_HANDLE_VALUE) {
    // Another run's file, or removed: left as it is.
    CloseHandle(handle);
  }
  hold_interrupts(false);
  return result;
}

bool os_scratch_file_still_named() {
  return held != INVALID_HANDLE_VALUE && still_named(held);
}

bool os_take_journal(std::string& reason) {
  name_files();
  const HANDLE handle = CreateFileW(side_names[0].c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS) {
      return side_file_acceptable(side_names[0], scratch_journal_name, reason);
    }
    reason = system_message(error);
    return false;
  }
  CloseHandle(handle);
  return true;
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
