// The file operations of os/files.h on Windows: names in UTF-16, files
// opened shared with every other opener (as files are on Linux), and
// ReplaceFileW, which gives the new file what the system keeps of the old
// one (its access list, streams, short name) as it takes its place.
#include <windows.h>
// After windows.h, which it needs.
#include <ntsecapi.h>

#include <algorithm>
#include <climits>

#include "os/files.h"
#include "os/win/system.h"

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Attributes a replacement takes over from the file it replaces.
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// The system's times count 100-nanosecond ticks from 1601.
constexpr int64_t ticks_before_1970 = 116444736000000000;
constexpr size_t most_at_once = size_t{1} << 30;
// ERROR_DISK_QUOTA_EXCEEDED, which mingw-w64's headers lack.
constexpr DWORD quota_exceeded = 1295;

os_error error_of(DWORD error) {
  switch (error) {
    case NO_ERROR:
      return os_error::none;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY:
      return os_error::not_found;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return os_error::exists;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_CANT_RESOLVE_FILENAME:
    case ERROR_USER_MAPPED_FILE:
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
      return os_error::denied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case quota_exceeded:
    case ERROR_FILE_TOO_LARGE:
      return os_error::no_space;
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
    case ERROR_NOT_READY:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NETNAME_DELETED:
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return os_error::io;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_PARAMETER:
    case ERROR_CALL_NOT_IMPLEMENTED:
      return os_error::unsupported;
    // A part of a name longer than the file system takes is an invalid name.
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_NAME:
      return os_error::too_long;
    default:
      return os_error::other;
  }
}

os_error last_error() {
  return error_of(GetLastError());
}

HANDLE handle_of(os_handle file) {
  return reinterpret_cast<HANDLE>(file);
}

int64_t nanoseconds(int64_t ticks) {
  constexpr int64_t most = INT64_MAX / 100;
  return std::clamp(ticks - ticks_before_1970, -most, most) * 100;
}

int64_t nanoseconds(FILETIME time) {
  return nanoseconds(static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                          time.dwLowDateTime));
}

OVERLAPPED at_offset(int64_t offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return at;
}

// Whether the file open as `handle` could be removed now: another program's
// open that does not share removal, or an access list, keeps it in place.
bool removable(HANDLE handle) {
  const HANDLE again = ReOpenFile(handle, DELETE, share_all, 0);
  if (again == INVALID_HANDLE_VALUE) return false;
  CloseHandle(again);
  return true;
}

os_error facts_of_handle(HANDLE handle, file_facts& facts) {
  facts = file_facts();
  file_status status;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!status_of(handle, status, &info)) return last_error();
  facts.volume = status.device;
  facts.number = status.inode;
  facts.type = status.type;
  facts.size = status.size;
  if (status.type != file_type::regular && status.type != file_type::directory) {
    return os_error::none;
  }
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
    return last_error();
  }
  facts.links = info.nNumberOfLinks;
  // Kept to the 100 nanoseconds, but not every file system changes it at
  // every write (FAT keeps none): the content is compared as well.
  facts.changed = nanoseconds(basic.ChangeTime.QuadPart != 0 ? basic.ChangeTime.QuadPart
                                                             : basic.LastWriteTime.QuadPart);
  facts.exact_time = false;
  facts.modified = nanoseconds(basic.LastWriteTime.QuadPart);
  // A reparse point (a file kept in the cloud, deduplicated) is not what a
  // new file would be.
  facts.fixed_in_place = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
                         (status.type == file_type::regular && !removable(handle));
  return os_error::none;
}

// Names the system reads as another file are refused; links are left to
// the system, which follows them when the file is opened.
os_error resolve(const char* name, named_file& file) {
  file = named_file();
  if (names_another_file(name) || to_utf16(name).empty()) return os_error::denied;
  file.path = name;
  return os_error::none;
}

os_error look(const std::string& path, file_facts& facts) {
  const std::wstring name = to_utf16(path);
  const HANDLE handle = open_to_look(name);
  if (handle == INVALID_HANDLE_VALUE) {
    if (last_error() == os_error::not_found) return os_error::not_found;
    // A device that can't be asked what it is (CON).
    facts = file_facts();
    facts.type = file_type::device;
    return os_error::none;
  }
  const os_error error = facts_of_handle(handle, facts);
  CloseHandle(handle);
  // The name is a link itself: a new file given its name would be no link.
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    facts.fixed_in_place = true;
  }
  return error;
}

// What a directory's listing tells of a name, which is not which file it is.
file_facts facts_of_entry(const WIN32_FIND_DATAW& entry) {
  file_facts facts;
  const DWORD attributes = entry.dwFileAttributes;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    facts.type = file_type::other;
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    facts.type = file_type::directory;
  } else if (attributes & FILE_ATTRIBUTE_DEVICE) {
    facts.type = file_type::device;
  } else {
    facts.type = file_type::regular;
  }
  facts.size =
      static_cast<int64_t>((static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow);
  facts.modified = nanoseconds(entry.ftLastWriteTime);
  facts.changed = facts.modified;
  return facts;
}

os_error list(std::string_view directory, std::string_view containing,
              std::vector<directory_entry>& entries) {
  entries.clear();
  // The system passes over the other names itself.
  const std::wstring pattern =
      to_utf16(std::string(directory) + "*" + std::string(containing) + "*");
  WIN32_FIND_DATAW entry;
  const HANDLE search =
      FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_NOT_FOUND ? os_error::none : last_error();
  }
  do {
    entries.push_back({to_utf8(entry.cFileName), facts_of_entry(entry)});
  } while (FindNextFileW(search, &entry));
  const DWORD end = GetLastError();
  FindClose(search);
  return end == ERROR_NO_MORE_FILES ? os_error::none : error_of(end);
}

bool read_only(HANDLE handle) {
  FILE_BASIC_INFO basic;
  return !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
         (basic.FileAttributes & FILE_ATTRIBUTE_READONLY);
}

os_error open_existing(const std::string& path, open_access access, os_handle& file) {
  // Windows names none of the process's own handles.
  if (access == open_access::descriptor) return os_error::unsupported;
  DWORD rights = GENERIC_READ;
  if (access == open_access::write) rights = GENERIC_READ | GENERIC_WRITE;
  if (access == open_access::write_only) rights = GENERIC_WRITE;
  const HANDLE handle =
      CreateFileW(to_utf16(path).c_str(), rights, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_error();
  // The read-only attribute is the file's own refusal, which the system
  // leaves to programs where it runs as the super-user (Wine). A name that
  // now leads to a file on disk would be written over from its start,
  // without being replaced or cut to length.
  const bool refused = (access == open_access::write && read_only(handle)) ||
                       (access == open_access::write_only && GetFileType(handle) == FILE_TYPE_DISK);
  if (refused) {
    CloseHandle(handle);
    return os_error::denied;
  }
  file = reinterpret_cast<os_handle>(handle);
  return os_error::none;
}

// New files get the access list that their directory gives, or, private,
// their owner's alone (a backup beside a file others can't read is no
// easier to read than the file). No other program writes to one while the
// save does. Only a private one is given another's list (give_mode).
os_error create_new(const std::string& path, bool private_file, os_handle& file) {
  private_security security;
  if (private_file && !make_private(security)) return os_error::other;
  const HANDLE handle = CreateFileW(
      to_utf16(path).c_str(), GENERIC_READ | GENERIC_WRITE | (private_file ? WRITE_DAC : 0),
      FILE_SHARE_READ | FILE_SHARE_DELETE, private_file ? &security.attributes : nullptr,
      CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_error();
  file = reinterpret_cast<os_handle>(handle);
  return os_error::none;
}

os_error facts_of(os_handle file, file_facts& facts) {
  return facts_of_handle(handle_of(file), facts);
}

int64_t read_at(os_handle file, void* buffer, size_t size, int64_t offset, os_error& error) {
  const int64_t n = read_handle_at(handle_of(file), buffer, size, offset);
  error = n >= 0 ? os_error::none : last_error();
  return n;
}

os_error write_at(os_handle file, const void* bytes, size_t size, int64_t offset) {
  const HANDLE handle = handle_of(file);
  // A write at an offset moves a synchronous handle's position: put back.
  LARGE_INTEGER zero = {};
  LARGE_INTEGER position;
  const bool kept = SetFilePointerEx(handle, zero, &position, FILE_CURRENT);
  const char* at = static_cast<const char*>(bytes);
  os_error error = os_error::none;
  while (size > 0 && error == os_error::none) {
    OVERLAPPED where = at_offset(offset);
    DWORD done = 0;
    if (!WriteFile(handle, at, static_cast<DWORD>(std::min(size, most_at_once)), &done, &where)) {
      error = last_error();
    } else if (done == 0) {
      error = os_error::io;
    }
    at += done;
    size -= done;
    offset += done;
  }
  if (kept) SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
  return error;
}

os_error write_in_order(os_handle file, const void* bytes, size_t size) {
  const char* at = static_cast<const char*>(bytes);
  while (size > 0) {
    DWORD done = 0;
    if (!WriteFile(handle_of(file), at, static_cast<DWORD>(std::min(size, most_at_once)), &done,
                   nullptr)) {
      return last_error();
    }
    if (done == 0) return os_error::io;
    at += done;
    size -= done;
    // Cut short by a Ctrl-C after some of it went out.
    if (size > 0 && take_cancel_request()) return os_error::other;
  }
  return os_error::none;
}

os_error set_length(os_handle file, int64_t size) {
  FILE_END_OF_FILE_INFO end = {};
  end.EndOfFile.QuadPart = size;
  return SetFileInformationByHandle(handle_of(file), FileEndOfFileInfo, &end, sizeof end)
             ? os_error::none
             : last_error();
}

os_error reserve(os_handle file, int64_t size) {
  // An allocation below the file's end would cut the file there.
  LARGE_INTEGER length;
  if (size == 0 || (GetFileSizeEx(handle_of(file), &length) && size <= length.QuadPart)) {
    return os_error::none;
  }
  FILE_ALLOCATION_INFO room = {};
  room.AllocationSize.QuadPart = size;
  if (SetFileInformationByHandle(handle_of(file), FileAllocationInfo, &room, sizeof room)) {
    return os_error::none;
  }
  // Where room can't be taken ahead (Wine), the writes find out.
  return last_error() == os_error::no_space ? os_error::no_space : os_error::unsupported;
}

os_error sync(os_handle file) {
  return FlushFileBuffers(handle_of(file)) ? os_error::none : last_error();
}

void close_handle(os_handle file) {
  CloseHandle(handle_of(file));
}

// The attributes and creation time, which ReplaceFileW carries over, but not
// everywhere (Wine drops them).
bool give_identity(os_handle from, const file_facts& facts, os_handle to) {
  BY_HANDLE_FILE_INFORMATION old;
  if (!GetFileInformationByHandle(handle_of(from), &old) ||
      old.dwVolumeSerialNumber != facts.volume ||
      ((static_cast<uint64_t>(old.nFileIndexHigh) << 32) | old.nFileIndexLow) != facts.number) {
    return false;
  }
  // Its access list is given with its permissions, by give_mode.
  std::vector<unsigned char> access_list;
  if (!read_access_list(handle_of(from), access_list)) return false;
  FILE_BASIC_INFO basic = {};
  basic.CreationTime.LowPart = old.ftCreationTime.dwLowDateTime;
  basic.CreationTime.HighPart = static_cast<LONG>(old.ftCreationTime.dwHighDateTime);
  basic.FileAttributes = old.dwFileAttributes & kept_attributes;
  // None at all would leave the new file's own.
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle_of(to), FileBasicInfo, &basic, sizeof basic);
}

// Windows keeps no permissions as bits: the access list is the file's
// permissions, given here as well as by ReplaceFileW, which not every
// system's does (Wine's).
bool give_mode(os_handle from, const file_facts&, os_handle to) {
  return copy_access_list(handle_of(from), handle_of(to));
}

// ReplaceFileW moves the old file to `aside` first; where it fails part-way
// it leaves the files where they are, for the caller to find by identity.
os_error replace(const std::string& from, const std::string& to, const std::string& aside) {
  const std::wstring replaced = full_path(to_utf16(to));
  const std::wstring replacement = full_path(to_utf16(from));
  const std::wstring backup = full_path(to_utf16(aside));
  return ReplaceFileW(replaced.c_str(), replacement.c_str(), backup.c_str(), 0, nullptr, nullptr)
             ? os_error::none
             : last_error();
}

os_error place(const std::string& from, const std::string& to) {
  return MoveFileExW(to_utf16(from).c_str(), to_utf16(to).c_str(), MOVEFILE_WRITE_THROUGH)
             ? os_error::none
             : last_error();
}

os_error remove_if_same(const std::string& path, const file_facts& which) {
  const HANDLE handle =
      CreateFileW(to_utf16(path).c_str(), DELETE | FILE_READ_ATTRIBUTES, share_all, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_error();
  file_status status;
  os_error error = os_error::exists;
  if (!status_of(handle, status)) {
    error = last_error();
  } else if (status.device == which.volume && status.inode == which.number) {
    error = remove_open_file(handle) ? os_error::none : last_error();
  }
  CloseHandle(handle);
  return error;
}

// Names are on disk once MoveFileExW (written through) or ReplaceFileW
// returns.
os_error sync_directory(const std::string&) {
  return os_error::none;
}

std::string temporary_directory() {
  wchar_t directory[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, directory);
  if (length == 0 || length > MAX_PATH) return std::string();
  std::string named = to_utf8(std::wstring_view(directory, length));
  if (!named.ends_with('\\') && !named.ends_with('/')) named += '\\';
  return named;
}

void random_letters(char* out, size_t count) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static uint64_t counter = 0;
  unsigned char bytes[64] = {};
  count = std::min(count, sizeof bytes);
  if (!RtlGenRandom(bytes, static_cast<ULONG>(count))) {
    // Only unlikely to be taken: a name that is taken is tried again.
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    uint64_t seed = static_cast<uint64_t>(now.QuadPart) * 0x9E3779B97F4A7C15u ^
                    (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ ++counter * 40503u;
    for (size_t i = 0; i < count; ++i) {
      seed ^= seed >> 29;
      seed *= 0xBF58476D1CE4E5B9u;
      bytes[i] = static_cast<unsigned char>(seed >> 32);
    }
  }
  for (size_t i = 0; i < count; ++i) out[i] = letters[bytes[i] % (sizeof letters - 1)];
}

const os_file_system windows_files = {
    resolve,        look,    list,           open_existing,  create_new,
    facts_of,       read_at, write_at,       write_in_order, set_length,
    reserve,        sync,    close_handle,   give_identity,  give_mode,
    replace,        place,   remove_if_same, sync_directory, temporary_directory,
    random_letters,
};

}  // namespace

const os_file_system* os_files = &windows_files;

const os_file_system* os_system_files() {
  return &windows_files;
}

bool remove_open_file(HANDLE handle) {
  // FileDispositionInfoEx: the name goes at once, even while other handles
  // are open. Older systems (and Wine) remove it when the last one closes.
  struct {
    DWORD flags;
  } posix = {0x1 | 0x2};  // FILE_DISPOSITION_FLAG_DELETE | _POSIX_SEMANTICS
  if (SetFileInformationByHandle(handle, static_cast<FILE_INFO_BY_HANDLE_CLASS>(21), &posix,
                                 sizeof posix)) {
    return true;
  }
  FILE_DISPOSITION_INFO later = {TRUE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &later, sizeof later);
}

std::string_view directory_prefix(std::string_view path) {
  const size_t end = path.find_last_of("/\\:");
  return end == std::string_view::npos ? std::string_view() : path.substr(0, end + 1);
}

std::string directory_of(std::string_view path) {
  const std::string_view prefix = directory_prefix(path);
  if (prefix.empty()) return ".";
  // "\\?\" takes a name as it is, without "." or "..".
  if (prefix.starts_with("\\\\?\\")) return std::string(prefix);
  // "dir\.", "C:\." or "C:.": the directory itself, whichever the prefix.
  return std::string(prefix) + ".";
}

bool names_match(std::string_view a, std::string_view b) {
  return equal_ignoring_case(a, b);
}
