// Saves on Windows. A regular file is replaced by ReplaceFileW, which keeps
// its security descriptor, attributes and streams; a file with more than
// one name, a link, or one whose removal another program or its access list
// refuses, is written in place after a backup.
#include "os/save_target.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstring>

#include "os/win/in_place_backup.h"
#include "os/win/system.h"
#include "os/scratch_names.h"
#include "texttable/content_hash.h"

namespace {

constexpr size_t write_buffer_size = 1 << 16;
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Attributes a replacement takes over: ReplaceFileW keeps them, but not
// everywhere (Wine drops them).
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// What one save keeps besides the target.
struct save_state {
  std::string path;
  std::wstring wide;
  HANDLE original = INVALID_HANDLE_VALUE;  // the target, when it existed
  file_status original_status;             // which file it is
  BY_HANDLE_FILE_INFORMATION info = {};
  bool compared = false;
  bool loaded = false;  // `seen` holds what the table holds of a file
  seen_file seen;
  std::string temporary;  // the replacement's name
  in_place_backup backup;
};

save_state state;

bool status_of_name(const std::wstring& name, file_status& status) {
  const HANDLE handle = open_to_look(name);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = status_of(handle, status);
  CloseHandle(handle);
  return known;
}

// The engine keeps the tables in these files of the current directory:
// writing text over them, or making one where it is absent, would lose them.
bool is_scratch_file(const std::string& path) {
  const std::string_view prefix = directory_prefix(path);
  const std::string_view base = std::string_view(path).substr(prefix.size());
  const std::string_view name = scratch_db_name;
  if (base.size() < name.size() || !equal_ignoring_case(base.substr(0, name.size()), name)) {
    return false;
  }
  const std::string_view side = base.substr(name.size());
  if (!side.empty() && !equal_ignoring_case(side, "-journal") &&
      !equal_ignoring_case(side, "-wal") && !equal_ignoring_case(side, "-shm")) {
    return false;
  }
  file_status directory;
  file_status current;
  return prefix.empty() || !status_of_name(to_utf16(std::string(prefix) + "."), directory) ||
         !status_of_name(L".", current) || same_file(directory, current);
}

// Whether `status` is a file of the scratch database, by whatever name.
bool is_scratch_database(const file_status& status) {
  for (const char* name :
       {scratch_db_name, scratch_journal_name, scratch_wal_name, scratch_shm_name}) {
    file_status other;
    if (status_of_name(to_utf16(name), other) && same_file(status, other)) return true;
  }
  return false;
}

// Hashes the whole content of the file open as `handle`.
void hash_content(HANDLE handle, seen_file& found) {
  const auto read_at = [](void* source, void* buffer, size_t size, int64_t offset) {
    return read_handle_at(static_cast<HANDLE>(source), buffer, size, offset);
  };
  found.hashed = ::hash_content(read_at, handle, found.hash, found.size);
}

// What `name` leads to now: a regular file with its content hashed (when it
// can be read), anything else as it stands, nothing as a record of no file.
seen_file look_at(const char* name, const std::wstring& wide) {
  seen_file found;
  found.name = name;
  found.type = file_type::none;
  const HANDLE handle =
      CreateFileW(wide.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
  file_status status;
  if (handle == INVALID_HANDLE_VALUE) {
    if (status_of_name(wide, status)) found = seen_as(name, status);
    return found;
  }
  if (status_of(handle, status)) {
    found = seen_as(name, status);
    if (status.type == file_type::regular) hash_content(handle, found);
  }
  CloseHandle(handle);
  return found;
}

// Takes the room for the text before a byte is written, so that a full disk
// fails the save at once, not halfway. Where room can't be reserved (Wine),
// the save just writes.
bool reserve(HANDLE handle, int64_t size) {
  // An allocation below the file's end would cut the file there.
  LARGE_INTEGER length;
  if (size == 0 || !GetFileSizeEx(handle, &length) || size <= length.QuadPart) return true;
  FILE_ALLOCATION_INFO room = {};
  room.AllocationSize.QuadPart = size;
  if (SetFileInformationByHandle(handle, FileAllocationInfo, &room, sizeof room)) return true;
  const DWORD error = GetLastError();
  return error != ERROR_DISK_FULL && error != ERROR_HANDLE_DISK_FULL;
}

// Gives the CRT a handle of its own to write through; `handle` stays the
// caller's, to close.
bool take_file(save_target& target, HANDLE handle) {
  HANDLE given = INVALID_HANDLE_VALUE;
  if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &given, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(given), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(given);
    return false;
  }
  // From here the descriptor owns the duplicate.
  target.file = _fdopen(fd, "wb");
  if (target.file == nullptr) {
    _close(fd);
    return false;
  }
  // One save at a time: one buffer serves them all.
  static char buffer[write_buffer_size];
  setvbuf(target.file, buffer, _IOFBF, sizeof buffer);
  return true;
}

void close_original() {
  if (state.original != INVALID_HANDLE_VALUE) CloseHandle(state.original);
  state.original = INVALID_HANDLE_VALUE;
}

// Starts writing over the target's own bytes, once its old content is safe
// in a backup.
save_result open_in_place(save_target& target) {
  target.mode = save_mode::in_place;
  if (!make_backup(state.path, state.original, state.backup)) {
    close_original();
    return save_result::cant_write;
  }
  // Appended to while it was copied: nothing is written.
  LARGE_INTEGER now;
  if (!GetFileSizeEx(state.original, &now)) {
    close_original();
    drop_backup(state.backup);
    return save_result::cant_write;
  }
  if (now.QuadPart != state.backup.size) {
    close_original();
    drop_backup(state.backup);
    target.found = look_at(target.found.name.c_str(), state.wide);
    return save_result::changed_on_disk;
  }
  // Made as long as the new content first, so that what another process
  // appends from here on lands past the save's own bytes, to be kept.
  LARGE_INTEGER start = {};
  const bool opened = reserve(state.original, target.size) &&
                      (target.size <= now.QuadPart || set_length(state.original, target.size)) &&
                      SetFilePointerEx(state.original, start, nullptr, FILE_BEGIN) &&
                      take_file(target, state.original);
  if (!opened) {
    close_original();
    drop_backup(state.backup);
    return save_result::cant_write;
  }
  return save_result::done;
}

// Starts writing the new file that is to replace the target (absent when
// state.original is not open).
save_result open_replacement(save_target& target) {
  target.mode = save_mode::replace;
  const std::string_view prefix = directory_prefix(state.path);
  HANDLE temporary = create_beside(prefix, std::string_view(state.path).substr(prefix.size()), true,
                                   state.temporary);
  if (temporary == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A directory that takes no new file may still let the file be written.
    if (state.original != INVALID_HANDLE_VALUE && error == ERROR_ACCESS_DENIED) {
      return open_in_place(target);
    }
    close_original();
    return error == ERROR_DISK_FULL ? save_result::cant_write : save_result::cant_open;
  }
  const bool opened = reserve(temporary, target.size) && take_file(target, temporary);
  if (!opened) remove_open_file(temporary);
  CloseHandle(temporary);
  if (opened) return save_result::done;
  state.temporary.clear();
  close_original();
  return save_result::cant_write;
}

save_result open_new(save_target& target, const char* zero_byte_row) {
  if (state.path.ends_with('/') || state.path.ends_with('\\') || is_scratch_file(state.path)) {
    return save_result::cant_open;
  }
  if (zero_byte_row != nullptr) return save_result::zero_byte;
  return open_replacement(target);
}

// A pipe or device, written as it is.
save_result open_stream(const char* name, const seen_file* seen, const file_status& status,
                        const char* zero_byte_row, save_target& target) {
  target.found = seen_as(name, status);
  save_result judged = judge_save(seen, name, target.found, target.loaded_from);
  if (judged == save_result::done && zero_byte_row != nullptr) judged = save_result::zero_byte;
  if (judged != save_result::done) return judged;
  target.mode = save_mode::stream;
  const HANDLE handle =
      CreateFileW(state.wide.c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return save_result::cant_open;
  // A name that now leads to a file on disk would be written over without
  // being replaced or cut to length.
  const bool taken = GetFileType(handle) != FILE_TYPE_DISK && take_file(target, handle);
  CloseHandle(handle);
  return taken ? save_result::done : save_result::cant_open;
}

// Opens the target to be replaced: with DELETE access, which another
// program's open refuses to share while it keeps the file. Without it, the
// file can still be written in place; without writing, not at all.
bool open_original(bool& can_replace) {
  const DWORD access = GENERIC_READ | GENERIC_WRITE;
  state.original = CreateFileW(state.wide.c_str(), access | DELETE, share_all, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  can_replace = state.original != INVALID_HANDLE_VALUE;
  if (!can_replace) {
    state.original = CreateFileW(state.wide.c_str(), access, share_all, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  return state.original != INVALID_HANDLE_VALUE;
}

// Ends writing in place: on failure, writes the old content back. So it
// does when another process wrote to the file meanwhile (it ends past the
// save's own bytes and the old content) or its name now leads elsewhere.
save_result close_in_place(save_target& target, bool written) {
  // What the stream failed to write goes in first, within the save's own
  // bytes, where the old content is written back over it.
  fclose(target.file);
  target.file = nullptr;
  const HANDLE handle = state.original;
  const int64_t end = std::max(state.backup.size, target.size);
  file_status now;
  file_status named;
  const bool looked = status_of(handle, now);
  const bool changed =
      !looked || now.size != end || !status_of_name(state.wide, named) || !same_file(named, now);
  const bool all_written = written;
  written = written && !changed && set_length(handle, target.size) && FlushFileBuffers(handle) &&
            status_of(handle, target.left);
  bool restored = written;
  if (!written) restored = restore_backup(state.backup, handle, end, looked ? now.size : end);
  close_original();
  if (!restored) target.backup = state.backup.path;
  drop_backup(state.backup, !restored);
  if (written) return save_result::done;
  if (!restored) return save_result::cant_write_kept_backup;
  if (!all_written || !changed) return save_result::cant_write;
  target.found = look_at(target.found.name.c_str(), state.wide);
  return save_result::changed_on_disk;
}

void remove_temporary() {
  DeleteFileW(to_utf16(state.temporary).c_str());
  state.temporary.clear();
}

// Removes the file at `name` only when it is `which`.
void remove_if_same(const std::wstring& name, const file_status& which) {
  const HANDLE handle = CreateFileW(name.c_str(), DELETE | FILE_READ_ATTRIBUTES, share_all, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  file_status status;
  if (status_of(handle, status) && same_file(status, which)) remove_open_file(handle);
  CloseHandle(handle);
}

// Puts the replacement (`replacement`, the file `made`) in place of the
// target (`replaced`). The target moves to a backup name first, as a save in
// place names its backup, so that a kill between the two moves leaves its
// old content where the next load tells of it. Whatever fails, the old
// content is put back at the name or its backup is kept and named.
save_result replace(save_target& target, const std::wstring& replaced,
                    const std::wstring& replacement, const file_status& made) {
  const std::string_view prefix = directory_prefix(state.path);
  std::string backup_name;
  // Made empty to take the name for this save alone; ReplaceFileW writes
  // over it.
  const HANDLE placeholder =
      create_beside(prefix, std::string_view(state.path).substr(prefix.size()), false, backup_name);
  file_status empty;
  const bool reserved = placeholder != INVALID_HANDLE_VALUE && status_of(placeholder, empty);
  if (placeholder != INVALID_HANDLE_VALUE) {
    if (!reserved) remove_open_file(placeholder);
    CloseHandle(placeholder);
  }
  if (!reserved) {
    remove_temporary();
    return save_result::cant_write;
  }
  const std::wstring backup = full_path(to_utf16(backup_name));
  const file_status& original = state.original_status;
  const bool moved =
      ReplaceFileW(replaced.c_str(), replacement.c_str(), backup.c_str(), 0, nullptr, nullptr);
  file_status at_name;
  const bool named = status_of_name(replaced, at_name);
  if (moved || (named && same_file(at_name, made))) {
    state.temporary.clear();
    remove_if_same(backup, original);
    return save_result::done;
  }
  // The system's error says which names were moved; the files' identities
  // say it for sure.
  remove_temporary();
  remove_if_same(backup, empty);
  if (named && same_file(at_name, original)) return save_result::cant_write;
  file_status at_backup;
  if (!status_of_name(backup, at_backup) || !same_file(at_backup, original)) {
    return save_result::cant_write;
  }
  // The old content is only at the backup's name: moved back, unless
  // another file took the name meanwhile.
  if (!named && MoveFileExW(backup.c_str(), replaced.c_str(), MOVEFILE_WRITE_THROUGH)) {
    return save_result::cant_write;
  }
  target.backup = backup_name;
  return save_result::cant_write_kept_backup;
}

// Gives the replacement the attributes and creation time of the file it
// replaces.
bool give_attributes(HANDLE replacement) {
  FILE_BASIC_INFO basic = {};
  basic.CreationTime.LowPart = state.info.ftCreationTime.dwLowDateTime;
  basic.CreationTime.HighPart = static_cast<LONG>(state.info.ftCreationTime.dwHighDateTime);
  basic.FileAttributes = state.info.dwFileAttributes & kept_attributes;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(replacement, FileBasicInfo, &basic, sizeof basic);
}

}  // namespace

save_result open_save_target(const char* name, int64_t size, const seen_file* seen,
                             const char* zero_byte_row, save_target& target) {
  close_original();
  state = save_state();
  target = save_target();
  target.size = size;
  target.found.name = name;
  state.path = name;
  state.wide = to_utf16(name);
  if (state.wide.empty() || names_another_file(name)) return save_result::cant_open;
  if (seen != nullptr) {
    state.loaded = true;
    state.seen = *seen;
  }

  file_status looked;
  const HANDLE look = open_to_look(state.wide);
  if (look == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return open_new(target, zero_byte_row);
    }
    // A device that can't be asked what it is (CON).
    looked.type = file_type::device;
    return open_stream(name, seen, looked, zero_byte_row, target);
  }
  const bool known = status_of(look, looked, &state.info);
  CloseHandle(look);
  if (!known || looked.type == file_type::directory) return save_result::cant_open;
  if (looked.type != file_type::regular) {
    return open_stream(name, seen, looked, zero_byte_row, target);
  }
  if (is_scratch_file(state.path) || is_scratch_database(looked) ||
      (state.info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) {
    return save_result::cant_open;
  }
  bool can_replace = false;
  file_status opened;
  if (!open_original(can_replace)) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? open_new(target, zero_byte_row) : save_result::cant_open;
  }
  // Another file took the name since it was looked at.
  if (!status_of(state.original, opened, &state.info) || !same_file(opened, looked) ||
      opened.type != file_type::regular) {
    close_original();
    return save_result::cant_open;
  }
  state.original_status = opened;
  target.found = seen_as(name, opened);
  hash_content(state.original, target.found);
  save_result judged = judge_save(seen, name, target.found, target.loaded_from);
  if (judged == save_result::done && zero_byte_row != nullptr) judged = save_result::zero_byte;
  if (judged != save_result::done) {
    close_original();
    return judged;
  }
  state.compared = true;
  // A new file would lose the file's other names, and a link itself.
  if (!can_replace || state.info.nNumberOfLinks > 1 ||
      (state.info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return open_in_place(target);
  }
  return open_replacement(target);
}

save_result close_save_target(save_target& target, bool written) {
  written = fflush(target.file) == 0 && written;
  if (target.mode == save_mode::in_place) return close_in_place(target, written);
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(target.file)));
  if (target.mode == save_mode::replace) {
    written = written && (state.original == INVALID_HANDLE_VALUE || give_attributes(handle)) &&
              FlushFileBuffers(handle) && status_of(handle, target.left);
  }
  written = fclose(target.file) == 0 && written;
  target.file = nullptr;
  if (target.mode != save_mode::replace) {
    return written ? save_result::done : save_result::cant_write;
  }
  bool existed = state.original != INVALID_HANDLE_VALUE;
  // ReplaceFileW opens the file itself, without sharing it.
  close_original();
  // A file written to while its replacement was made (a logger's new line)
  // would be lost with it: looked at again just before the replacement, the
  // same file, size and content. A file removed since is made anew.
  if (written && state.compared) {
    const seen_file now = look_at(target.found.name.c_str(), state.wide);
    if (now.type == file_type::none) {
      existed = false;
    } else if (changed_since_seen(target.found, now)) {
      remove_temporary();
      target.found = now;
      return save_result::changed_on_disk;
    }
  }
  const std::wstring replacement = full_path(to_utf16(state.temporary));
  const std::wstring replaced = full_path(state.wide);
  if (written && existed) {
    const save_result replaced_result = replace(target, replaced, replacement, target.left);
    if (replaced_result != save_result::done) return replaced_result;
  } else if (!written ||
             !MoveFileExW(replacement.c_str(), replaced.c_str(), MOVEFILE_WRITE_THROUGH)) {
    remove_temporary();
    return save_result::cant_write;
  }
  state.temporary.clear();
  // The name's file now, whichever identity the system gave it.
  file_status left;
  if (status_of_name(state.wide, left) && left.type == file_type::regular) target.left = left;
  return save_result::done;
}
