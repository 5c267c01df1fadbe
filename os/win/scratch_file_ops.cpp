// The operations of os/scratch_file.h on Windows. The scratch database's
// handle has no DELETE access, which the engine's own opens would refuse to
// share; its lock is one byte far past the bytes the engine locks.
#include "os/scratch_file.h"
#include "os/win/system.h"

namespace {

constexpr uint64_t lock_offset = uint64_t{1} << 40;

HANDLE handle_of(scratch_handle file) {
  return reinterpret_cast<HANDLE>(file);
}

scratch_status failed(std::string& error) {
  error = system_message(GetLastError());
  return scratch_status::failed;
}

bool not_found(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

scratch_status os_scratch_open(const char* name, scratch_open how, scratch_handle& file,
                               std::string& error) {
  const DWORD access = how == scratch_open::read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // An existing name is opened as it is: a link itself, not what it leads to.
  const HANDLE handle = how == scratch_open::create
                            ? CreateFileW(to_utf16(name).c_str(), access, sharing, nullptr,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)
                            : CreateFileW(to_utf16(name).c_str(), access, sharing, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  file = reinterpret_cast<scratch_handle>(handle);
  if (handle != INVALID_HANDLE_VALUE) return scratch_status::done;
  const DWORD code = GetLastError();
  if (not_found(code)) return scratch_status::absent;
  if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) return scratch_status::exists;
  return failed(error);
}

scratch_status os_scratch_facts(scratch_handle file, scratch_facts& facts, std::string& error) {
  file_status status;
  BY_HANDLE_FILE_INFORMATION info;
  if (!status_of(handle_of(file), status, &info)) return failed(error);
  facts = scratch_facts();
  facts.volume = status.device;
  facts.number = status.inode;
  facts.type = status.type;
  if (status.type == file_type::regular || status.type == file_type::directory) {
    facts.link = info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (facts.link) facts.type = file_type::other;
    facts.links = info.nNumberOfLinks;
  }
  return scratch_status::done;
}

scratch_status os_scratch_name_facts(const char* name, scratch_facts& facts, std::string& error) {
  const std::wstring wide = to_utf16(name);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return not_found(GetLastError()) ? scratch_status::absent : failed(error);
  }
  facts = scratch_facts();
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    facts.link = true;
    facts.type = file_type::other;
    return scratch_status::done;
  }
  const HANDLE handle = open_to_look(wide);
  if (handle == INVALID_HANDLE_VALUE) {
    return not_found(GetLastError()) ? scratch_status::absent : failed(error);
  }
  const scratch_status status =
      os_scratch_facts(reinterpret_cast<scratch_handle>(handle), facts, error);
  CloseHandle(handle);
  return status;
}

int64_t os_scratch_read_at(scratch_handle file, void* buffer, size_t size, int64_t offset,
                           std::string& error) {
  const int64_t n = read_handle_at(handle_of(file), buffer, size, offset);
  if (n < 0) error = system_message(GetLastError());
  return n;
}

scratch_status os_scratch_lock(scratch_handle file, std::string& error) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(lock_offset);
  at.OffsetHigh = static_cast<DWORD>(lock_offset >> 32);
  if (LockFileEx(handle_of(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                 &at)) {
    return scratch_status::done;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return scratch_status::busy;
  return failed(error);
}

bool os_scratch_lock_stays_apart(scratch_handle) {
  return true;
}

// A new file gets the access its directory hands down, as the engine's own
// files do; the user's profile is theirs alone.
scratch_status os_scratch_make_private(scratch_handle, std::string&) {
  return scratch_status::done;
}

void os_scratch_close(scratch_handle file) {
  if (file != no_scratch_file) CloseHandle(handle_of(file));
}
