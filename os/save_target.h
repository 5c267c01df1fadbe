// Where a save writes, and how the write ends. A regular file is replaced:
// the text goes to a new file beside it, which gets everything the file had
// but its content, is flushed to disk and put in its place in one step, so
// the file holds either its old or its whole new content whatever stops the
// save. A file whose identity a new one can't take is written in place,
// after its old content is copied to a backup. Devices, FIFOs and terminals
// are written as they are.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "os/os.h"
#include "texttable/seen_files.h"

enum class save_mode {
  replace,   // through a new file put in the target's place
  in_place,  // over the target's own bytes: more than one name, or what a new file can't have
  stream,    // not a regular file
};

enum class save_result {
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

// One save at a time: what the system keeps of it besides is the
// implementation's own.
struct save_target {
  save_mode mode = save_mode::stream;
  FILE* file = nullptr;     // where the bytes go
  int64_t size = 0;         // the bytes to be written
  seen_file found;          // what the name led to, hashed, when it was compared
  std::string loaded_from;  // the name of the file the table holds, when it is another
  std::string backup;       // where the old content is, after cant_write_kept_backup
  file_status left;         // what a save that is done leaves at the name
};

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

// Ends the save: flushes the file to disk and closes it and, when replacing,
// puts it in place of the target with the target's identity. `written` says
// whether every write succeeded. On failure the target keeps its old
// content and no file of the save remains, unless the old content could not
// be written back: then cant_write_kept_backup, and the backup stays. A file
// changed meanwhile by another process (looked at just before the
// replacement or the truncation) keeps its content, and what the process
// appended: changed_on_disk, with `found` set.
save_result close_save_target(save_target& target, bool written);

// Whether a save of the table that holds `seen` of a file (null: nothing)
// may write over `found`, what its name leads to; sets `loaded_from` when
// the name leads to another file than the table's. Only a regular file can
// be lost: a FIFO or device the table holds nothing of is written.
save_result judge_save(const seen_file* seen, const char* name, const seen_file& found,
                       std::string& loaded_from);
