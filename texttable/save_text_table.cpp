#include <cstdio>
#include <cstring>

#include "shell/shell.h"
#include "texttable/save_target.h"
#include "texttable/texttable.h"
#include "texttable/unsaved_edits.h"

namespace {

using table_result = std::unique_ptr<char*, decltype(&sqlite3_free_table)>;

// Hands `emit` the file's text piece by piece: one line per result row, a
// first column named `row` left out; otherwise the first value is followed by
// a tab even when it stands alone. NULL is written as empty text. Stops when
// `emit` returns false, and returns false then.
template <typename emit_function>
bool lay_out(char** result, int rows, int columns, emit_function emit) {
  const bool skip_row = strcmp(result[0] ? result[0] : "", "row") == 0;
  for (int r = 1; r <= rows; ++r) {
    char** values = result + static_cast<size_t>(r) * columns;
    for (int c = skip_row ? 1 : 0; c < columns; ++c) {
      if (values[c] != nullptr && !emit(values[c], strlen(values[c]))) return false;
      if ((c == 0 || c + 1 < columns) && !emit("\t", 1)) return false;
    }
    if (!emit("\n", 1)) return false;
  }
  return true;
}

off_t laid_out_size(char** result, int rows, int columns) {
  off_t size = 0;
  lay_out(result, rows, columns, [&](const char*, size_t length) {
    size += static_cast<off_t>(length);
    return true;
  });
  return size;
}

// Stops at the first failed write: writing on would only fail again, or, at
// a terminal whose Ctrl-C broke off a write, leave a gap in the text.
bool write_rows(FILE* file, char** result, int rows, int columns) {
  return lay_out(result, rows, columns, [&](const char* text, size_t length) {
    return fwrite_unlocked(text, 1, length, file) == length;
  });
}

}  // namespace

void save_text_table(const char* name) {
  engine_string query = own(sqlite3_mprintf("select * from `%q`", double_backticks(name).c_str()));
  if (!query) {
    run_statement(nullptr);
    return;
  }
  char** raw = nullptr;
  int rows = 0;
  int columns = 0;
  char* message = nullptr;
  const int queried = sqlite3_get_table(scratch_db, query.get(), &raw, &rows, &columns, &message);
  if (queried == SQLITE_NOMEM) {
    // Said as "query aborted" when the result, not the query, ran out of memory.
    sqlite3_free(message);
    run_statement(nullptr);
    return;
  }
  if (queried != SQLITE_OK) {
    report_sql_error(message);
    return;
  }
  table_result result(raw, &sqlite3_free_table);
  const off_t size = columns == 0 ? 0 : laid_out_size(result.get(), rows, columns);

  // A file is written with the signals that end the run held: an interrupt
  // that removed the scratch database halfway would leave the rows nowhere
  // but in a temporary file. A device or FIFO is written with them let
  // through, so a reader that stops reading can't keep the run from ending;
  // only a reader that goes away is no reason to end it.
  hold_interrupts(true);
  save_target target;
  save_result saved = open_save_target(name, size, find_seen_file(name), target);
  const bool stream = saved == save_result::done && target.mode == save_mode::stream;
  if (stream) {
    hold_interrupts(false);
    hold_broken_pipe(true);
    // Written through standard output's own descriptor, perhaps: what is
    // printed before must come first.
    fflush(stdout);
  }
  if (saved == save_result::done) {
    bool written = columns == 0 || write_rows(target.file, result.get(), rows, columns);
    saved = close_save_target(target, written);
  }
  if (stream) hold_broken_pipe(false);
  hold_interrupts(false);
  switch (saved) {
    case save_result::done:
      note_table_saved(name, target.mode != save_mode::stream);
      if (target.mode != save_mode::stream) remember_seen_file(name, target.left, false);
      break;
    case save_result::cant_open:
      print_error("Can't open %s\n", name);
      break;
    case save_result::cant_write:
      // Written in place and put back as it was: it still holds what was
      // last read or written, only its time moved.
      if (target.mode == save_mode::in_place && target.left.st_ino != 0 &&
          find_seen_file(name) != nullptr) {
        remember_seen_file(name, target.left, false);
      }
      print_error("Can't write %s\n", name);
      break;
    case save_result::cant_write_kept_backup:
      print_error("Can't write %s: its old content is in %s\n", name, target.backup.path.c_str());
      break;
    // Refused once: the next save writes, unless the file changes again.
    case save_result::changed_on_disk:
    case save_result::cut_at_zero:
      remember_seen_file(name, target.original, false);
      print_error("Can't save %s: %s; save again to write over it\n", name,
                  saved == save_result::changed_on_disk
                      ? "it changed on disk since it was loaded"
                      : "some lines held a zero byte and were cut when loaded");
      break;
  }
}
