// Small operations on files, each system's in its own words, gathered in one
// table so that a test can stand in for the system (as the engine's VFS
// does) and fail any call. Nothing here decides whether a save goes ahead:
// that is written once, above the seam, from the facts these give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/os.h"

// What went wrong, as far as the callers tell failures apart.
enum class os_error : uint8_t {
  none,
  not_found,    // no such file, or a directory on the way is missing
  exists,       // the name is taken
  denied,       // not allowed: permissions, a read-only file, another program's lock
  no_space,     // the disk or the quota is full, or a file size limit is reached
  io,           // the device failed
  unsupported,  // the file system can't do it (reserve room, sync a directory)
  too_long,     // the name is longer than the file system takes
  other,
};

// A file open through the table; no_file when none.
using os_handle = intptr_t;
inline constexpr os_handle no_file = -1;

// What the system says of a file.
struct file_facts {
  uint64_t volume = 0;  // which file: its volume and its number there
  uint64_t number = 0;
  file_type type = file_type::none;
  int64_t size = 0;
  uint32_t links = 1;  // names it has
  uint32_t mode = 0;   // its permissions, where the system keeps them as bits
  // When its content or status last changed, in nanoseconds, as only the
  // system sets it; `exact_time` when the system keeps it finer than whole
  // seconds, so that a change within a second shows.
  int64_t changed = 0;
  bool exact_time = false;
  int64_t modified = 0;  // when its content was last written, as a user may set it
  bool mine = true;      // this user's own
  // Another user's, in a directory that others may write to and that only a
  // file's owner may clean (/tmp), and not the directory owner's: it may be
  // there to receive what the user writes.
  bool planted = false;
  // In such a directory, where only the owner of the file or of the
  // directory may replace it, and this user is neither.
  bool replace_forbidden = false;
  // A new file put in its place would not be it to the system: it is a
  // mount point, a link itself, or the system keeps it from being removed.
  bool fixed_in_place = false;
  // A directory that keeps every name made in it (append-only): a file made
  // there could never be removed or renamed.
  bool keeps_names = false;
};

inline bool same_file(const file_facts& a, const file_facts& b) {
  return a.volume == b.volume && a.number == b.number;
}

// What a name given to a save leads to.
struct named_file {
  std::string path;     // the file itself: the name with its links followed
  int descriptor = -1;  // the process's own descriptor the name stands for (/dev/stdout)
};

// One entry of a directory, its facts those of the name itself (a link is a
// link).
struct directory_entry {
  std::string name;
  file_facts facts;
};

enum class open_access : uint8_t {
  read,        // reading at offsets
  write,       // writing at offsets, a regular file
  write_only,  // writing, never waiting to open: a FIFO or device, in order
  descriptor,  // writing to the descriptor of named_file, in order
};

struct os_file_system {
  // The file that writing to `name` writes: symbolic links followed (not
  // one another user left in a directory that others may write to), a name
  // of one of the process's descriptors recognized, a name the system reads
  // as another file refused (denied).
  os_error (*resolve)(const char* name, named_file& file);
  // What `path` leads to now, its final link followed; fixed_in_place too
  // when `path` is itself a link.
  os_error (*look)(const std::string& path, file_facts& facts);
  // The names in `directory` (a prefix as directory_prefix gives, "" for
  // the current one) that hold `containing`, each with its facts; the
  // others are passed over unexamined, so that a directory of many files
  // costs little.
  os_error (*list)(std::string_view directory, std::string_view containing,
                   std::vector<directory_entry>& entries);

  // Opens an existing file.
  os_error (*open)(const std::string& path, open_access access, os_handle& file);
  // Creates `path` only where nothing has that name, never through a link,
  // open for reading and writing; `private_file` makes it this user's alone,
  // else it gets what a new file of the directory gets.
  os_error (*create)(const std::string& path, bool private_file, os_handle& file);
  os_error (*facts_of)(os_handle file, file_facts& facts);
  // How many bytes were read (0 at the end), or -1 with the error.
  int64_t (*read_at)(os_handle file, void* buffer, size_t size, int64_t offset, os_error& error);
  // Writes all `size` bytes at `offset`, or fails.
  os_error (*write_at)(os_handle file, const void* bytes, size_t size, int64_t offset);
  // Writes all `size` bytes where the file is (a FIFO, a device, a
  // descriptor shared with standard output), waiting for a reader.
  os_error (*write)(os_handle file, const void* bytes, size_t size);
  // Makes the file `size` bytes long: cut, or lengthened with zeros.
  os_error (*set_length)(os_handle file, int64_t size);
  // Takes the room for `size` bytes without changing the length, so that a
  // full disk fails now rather than part-way; unsupported where it can't.
  os_error (*reserve)(os_handle file, int64_t size);
  // Flushes what was written to the disk.
  os_error (*sync)(os_handle file);
  void (*close)(os_handle file);

  // Gives the new file `to` everything the file `from` (described by
  // `facts`) is to the system but its content and name: owner, group,
  // permissions, access list, attributes. False when any can't be given
  // exactly. Its permissions stay the owner's alone until give_mode.
  bool (*give_identity)(os_handle from, const file_facts& facts, os_handle to);
  // Gives `to` the permissions of `facts` (and what writing took away from
  // a file written over). False when they are not exact.
  bool (*give_mode)(os_handle from, const file_facts& facts, os_handle to);

  // Puts the file at `from` in place of the one at `to` in one step. Where
  // the system moves the old file aside first, it moves it to `aside` (a
  // name free now), where it may stay when the step fails part-way.
  os_error (*replace)(const std::string& from, const std::string& to, const std::string& aside);
  // Gives the file at `from` the name `to` only where nothing has that name;
  // `from` is gone once it has.
  os_error (*place)(const std::string& from, const std::string& to);
  // Removes `path` only when it still names the file `which`.
  os_error (*remove_if_same)(const std::string& path, const file_facts& which);
  // Makes the names in the directory of `path` survive a power cut.
  os_error (*sync_directory)(const std::string& path);
  // Where files go that have no other place: "$TMPDIR/" or "/tmp/".
  std::string (*temporary_directory)();
  // Letters that no other run is likely to choose, for a new file's name.
  void (*random_letters)(char* letters, size_t count);
};

// The table that plinth uses: the system's own, unless a test put its
// stand-in there.
extern const os_file_system* os_files;
const os_file_system* os_system_files();

// "dir/" for "dir/name" (on Windows either slash, or a drive's "C:"), "" for
// a bare name.
std::string_view directory_prefix(std::string_view path);
// A name of the directory that `path` is in: "." for a bare name.
std::string directory_of(std::string_view path);
// Whether two names (or parts of names) name the same as the system matches
// names: byte for byte on Linux, ASCII letters in any case on Windows.
bool names_match(std::string_view a, std::string_view b);
