// Where a save writes, and how the write ends, on any system: what a name
// leads to is compared with what the table holds of it, and a regular file
// is replaced through a new file beside it, written in place after a backup
// of its old content, or made only where no file is; devices and FIFOs are
// written as they are. Whatever stops a save, the name holds the old content
// or the whole new one, or the old content is whole in a backup that the
// next load names.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "os/files.h"
#include "texttable/content_hash.h"
#include "texttable/seen_files.h"

enum class save_mode : uint8_t {
  replace,   // through a new file put in the target's place
  in_place,  // over the target's own bytes: more than one name, or what a new file can't be
  new_file,  // no file had the name: made only where none is still
  stream,    // not a regular file
};

enum class save_result : uint8_t {
  done,
  cant_open,
  cant_write,
  changed_on_disk,         // the file is not the one last read or written
  cut_at_zero,             // its load lost the text after a zero byte
  not_loaded,              // an existing file the table holds nothing of
  left_by_earlier_run,     // the table was in a scratch database an earlier run left
  loaded_elsewhere,        // the name leads to another file than the table's
  zero_byte,               // a value holds a zero byte, which the text would lose
  cant_write_kept_backup,  // the target is damaged; `backup` holds its old content
};

// The old content of a file written in place, whole in a file of its own
// before a byte of the target is written.
struct in_place_backup {
  std::string path;  // named so only once it holds the whole old content
  os_handle file = no_file;
  file_facts facts;
  int64_t size = 0;                    // of the old content
  std::vector<uint64_t> block_hashes;  // of the old content, a write block at a time
  uint64_t hash = 0;                   // of it all
};

// The bytes a save writes at `offset` (into `out`, `size` of them): in place,
// a stretch that another program wrote meanwhile is told from the save's
// own by them.
using save_text_source = std::function<bool(int64_t offset, size_t size, char* out)>;

struct save_target {
  save_mode mode = save_mode::stream;
  int64_t size = 0;         // the bytes to be written
  seen_file found;          // what the name led to, hashed, when it was compared
  std::string loaded_from;  // the name of the file the table holds, when it is another
  std::string backup;       // where the old content is, after cant_write_kept_backup
  file_status left;         // what a save that is done leaves at the name

  // What the save keeps while it writes.
  const seen_file* seen = nullptr;     // what the table holds of a file
  named_file where;                    // the file the name leads to
  os_handle file = no_file;            // where the bytes go
  os_handle reader = no_file;          // in place: the target, to be read
  file_facts original;                 // the file as found, when there was one
  os_handle original_file = no_file;   // it, open, while its replacement is written
  std::string temporary;               // the new file, when replacing or making one
  in_place_backup kept;                // the old content, when writing in place
  std::vector<uint64_t> block_hashes;  // in place: of the new content, a block at a time
  save_text_source text_at;            // in place: the new content again
  content_hash* hash = nullptr;        // of the bytes written, when given
  char* buffer = nullptr;              // save_block_size bytes: one save at a time
  size_t used = 0;
  int64_t offset = 0;     // where the buffer goes in the file
  int64_t touched = 0;    // the end of what a write may have reached
  bool failed = false;    // a write failed: nothing more is written
  bool intruded = false;  // in place: another program wrote where the save was to write
};

// The size of a write block: in place, each is compared with the old content
// just before it is written over.
inline constexpr size_t save_block_size = size_t{1} << 18;

// Opens what a save of `size` bytes to `name` writes to: cant_open when the
// name can't be written (no directory, a file this user can't write or
// another program holds locked, a FIFO without a reader, any file of the
// scratch database, another user's file in a shared directory), cant_write
// when there is no room for the text or for the backup of a file written in
// place. Before that, with nothing written, what the name leads to is
// compared with `seen`, what the table holds of a file (null: nothing), and
// the result says why it is not safe to write over, with `found` set to it;
// then zero_byte when `zero_byte_row` is given.
save_result open_save_target(const char* name, int64_t size, const seen_file* seen,
                             const char* zero_byte_row, save_target& target);

// Writes the next bytes of the text; false once a write failed.
bool write_save_target(save_target& target, const char* bytes, size_t length);

// Ends the save: flushes the file to disk and, when replacing, puts it in
// place of the target. `written` says whether the text was whole. On failure
// the target keeps its old content and no file of the save remains, unless
// the old content could not be written back: then cant_write_kept_backup,
// and the backup stays. A file changed meanwhile by another program keeps
// its content, and what the program wrote: changed_on_disk, with `found`
// set.
save_result close_save_target(save_target& target, bool written);

// Whether a save of the table that holds `seen` of a file (null: nothing)
// may write over `found`, what its name leads to; sets `loaded_from` when
// the name leads to another file than the table's. Only a regular file can
// be lost: a FIFO or device the table holds nothing of is written.
save_result judge_save(const seen_file* seen, const char* name, const seen_file& found,
                       std::string& loaded_from);
