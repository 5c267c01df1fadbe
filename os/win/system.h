// What the Windows files of os/ share: names in UTF-16, what a handle leads
// to, and reading a file without moving its position.
#pragma once

#include <sqlite3.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/os.h"

// `text` (UTF-8) as UTF-16 for the W calls; empty when it is not valid
// UTF-8, which no file's name can be made of.
std::wstring to_utf16(std::string_view text);
// `text` (UTF-16) as UTF-8; a lone surrogate becomes U+FFFD.
std::string to_utf8(std::wstring_view text);
// The full path of `name`, as ReplaceFileW needs it; `name` itself when it
// can't be had.
std::wstring full_path(const std::wstring& name);

// Whether Windows would take `path` for another file than the one it
// names: a colon past a drive's (a stream of another file), a part ending
// in a dot or a space (dropped), a device's name with an extension (the
// device, before Windows 11). A device's name alone names the device.
bool names_another_file(std::string_view path);

// What `handle` leads to. False when the system can't say.
bool status_of(HANDLE handle, file_status& status, BY_HANDLE_FILE_INFORMATION* info = nullptr);
// Opens `name` only to ask what it is (never refused by another program's
// sharing), or INVALID_HANDLE_VALUE.
HANDLE open_to_look(const std::wstring& name);
// Whether `a` and `b` are one file.
bool same_file(const file_status& a, const file_status& b);

// Reads up to `size` bytes from `offset` on, leaving the handle's position
// where it was: how many, 0 at the end, -1 on failure (GetLastError says
// why).
int64_t read_handle_at(HANDLE handle, void* buffer, size_t size, int64_t offset);

// Removes the file open as `handle` (opened with DELETE access) as soon as
// the system allows: at once where it unlinks open files, else when the last
// handle closes.
bool remove_open_file(HANDLE handle);

// What makes a new file this user's alone, whatever its directory gives:
// `attributes` for CreateFileW, and what it points into.
struct private_security {
  SECURITY_ATTRIBUTES attributes;
  SECURITY_DESCRIPTOR descriptor;
  std::vector<unsigned char> user;
  std::vector<unsigned char> acl;
};
// False when the system can't say who this user is.
bool make_private(private_security& security);
// The access list of the file open as `handle` (with READ_CONTROL), as a
// security descriptor; empty where the volume keeps none. False when it
// can't be read.
bool read_access_list(HANDLE handle, std::vector<unsigned char>& descriptor);
// Gives the file open as `to` (with WRITE_DAC) the access list of the one
// open as `from` (with READ_CONTROL). True where the volume keeps none.
bool copy_access_list(HANDLE from, HANDLE to);

// Finds which of standard output and error are a console, to be handed
// characters, and which a file or a pipe, to be written as text files
// (os_write_out, os_write_error).
void start_standard_streams();

// Whether this run still holds the scratch database's file.
bool scratch_file_held();

// Whether `a` and `b` are the same but for the letter case of ASCII, as
// Windows matches names.
inline bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         sqlite3_strnicmp(a.data(), b.data(), static_cast<int>(a.size())) == 0;
}

// The system's words for `error`, without a final full stop.
std::string system_message(DWORD error);
