// Files read into tables, and what a name leads to.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <climits>

#include "os/win/system.h"

bool status_of(HANDLE handle, file_status& status, BY_HANDLE_FILE_INFORMATION* info) {
  status = file_status();
  BY_HANDLE_FILE_INFORMATION own;
  if (info == nullptr) info = &own;
  switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
      break;
    case FILE_TYPE_PIPE:
      status.type = file_type::fifo;
      return true;
    case FILE_TYPE_CHAR:
      status.type = file_type::device;
      return true;
    default:
      if (GetLastError() != NO_ERROR) return false;
      status.type = file_type::other;
      return true;
  }
  if (!GetFileInformationByHandle(handle, info)) return false;
  status.device = info->dwVolumeSerialNumber;
  status.inode = (static_cast<uint64_t>(info->nFileIndexHigh) << 32) | info->nFileIndexLow;
  status.type = (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? file_type::directory
                                                                    : file_type::regular;
  status.size =
      static_cast<int64_t>((static_cast<uint64_t>(info->nFileSizeHigh) << 32) | info->nFileSizeLow);
  return true;
}

HANDLE open_to_look(const std::wstring& name) {
  return CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool same_file(const file_status& a, const file_status& b) {
  return a.device == b.device && a.inode == b.inode;
}

int64_t read_handle_at(HANDLE handle, void* buffer, size_t size, int64_t offset) {
  // A read at an offset moves a synchronous handle's position: put back, as
  // the handle may be read in order besides.
  LARGE_INTEGER zero = {};
  LARGE_INTEGER position;
  const bool kept = SetFilePointerEx(handle, zero, &position, FILE_CURRENT);
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  DWORD done = 0;
  const DWORD wanted = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
  const bool read = ReadFile(handle, buffer, wanted, &done, &at);
  const DWORD error = GetLastError();
  if (kept) SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
  SetLastError(error);
  if (!read) return error == ERROR_HANDLE_EOF ? 0 : -1;
  return done;
}

bool os_status_of_name(const char* name, file_status& status) {
  if (names_another_file(name)) return false;
  const HANDLE handle = open_to_look(to_utf16(name));
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = status_of(handle, status);
  CloseHandle(handle);
  return known;
}

int os_open_to_read(const char* name, file_status& status) {
  if (names_another_file(name)) return -1;
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory is not opened at all.
  HANDLE handle = CreateFileW(to_utf16(name).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  if (!status_of(handle, status) || status.type == file_type::directory) {
    CloseHandle(handle);
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

int64_t os_read(int fd, void* buffer, size_t size) {
  const unsigned wanted = static_cast<unsigned>(std::min<size_t>(size, INT_MAX));
  const int n = _read(fd, buffer, wanted);
  if (n >= 0) return n;
  // A Ctrl-C at the console breaks off a read from it.
  if (GetLastError() == ERROR_OPERATION_ABORTED) return os_read_interrupted;
  return -1;
}

int64_t os_read_at(int fd, void* buffer, size_t size, int64_t offset) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return -1;
  return read_handle_at(handle, buffer, size, offset);
}

void os_close(int fd) {
  _close(fd);
}
