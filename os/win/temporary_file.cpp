// Files a save makes beside the one it writes: the replacement,
// ".NAME.plinth-new-XXXXXX", and the backup, ".NAME.plinth-XXXXXX".
#include "os/win/system.h"

namespace {

void random_letters(char* out, size_t count) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static uint64_t counter = 0;
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  // Only unlikely to be taken: a name that is taken is tried again.
  uint64_t seed = static_cast<uint64_t>(now.QuadPart) * 0x9E3779B97F4A7C15u ^
                  (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ ++counter * 40503u;
  for (size_t i = 0; i < count; ++i) {
    seed ^= seed >> 29;
    seed *= 0xBF58476D1CE4E5B9u;
    out[i] = letters[(seed >> 32) % (sizeof letters - 1)];
  }
}

}  // namespace

HANDLE create_beside(std::string_view directory, std::string_view base, bool replacement,
                     std::string& created) {
  const std::string_view suffix = replacement ? ".plinth-new-" : ".plinth-";
  constexpr size_t letters = 6;
  bool short_name = false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    created.assign(directory);
    created += '.';
    if (!short_name) created.append(base);
    created.append(suffix.substr(short_name ? 1 : 0));
    created.append(letters, 'X');
    random_letters(created.data() + created.size() - letters, letters);
    // Shared with no one while it is written; its content is no one else's
    // until it takes the file's place.
    HANDLE handle =
        CreateFileW(to_utf16(created).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                    FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    const DWORD error = GetLastError();
    if ((error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_INVALID_NAME) && !short_name) {
      short_name = true;
    } else if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      created.clear();
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
  }
  created.clear();
  return INVALID_HANDLE_VALUE;
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
