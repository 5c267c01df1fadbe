#include <cstdio>
#include <cstring>
#include <string>

#include "os/os.h"
#include "os/save_target.h"
#include "shell/shell.h"
#include "texttable/content_hash.h"
#include "texttable/texttable.h"
#include "texttable/unsaved_edits.h"

namespace {

using table_result = std::unique_ptr<char*, decltype(&sqlite3_free_table)>;

// A table's rows as the engine gives them: `columns` values a row, then a
// mark that is not null where one of them holds a zero byte.
struct table_rows {
  table_result result{nullptr, &sqlite3_free_table};
  int rows = 0;
  int columns = 0;
  bool skip_row = false;  // the first column is `row`, left out of the text
  int row_column = -1;    // the column named `row`, if any
  char** at(int r) const { return result.get() + static_cast<size_t>(r) * (columns + 1); }
};

// Hands `text` the file's text piece by piece: one line per result row, a
// first column named `row` left out; otherwise the first value is followed by
// a tab even when it stands alone. NULL is written as empty text. Each row
// ends with a call of `line_end`. Stops when a call returns false, and
// returns false then.
template <typename text_function, typename line_end_function>
bool lay_out_rows(const table_rows& t, text_function text, line_end_function line_end) {
  for (int r = 1; r <= t.rows; ++r) {
    char** values = t.at(r);
    for (int c = t.skip_row ? 1 : 0; c < t.columns; ++c) {
      if (values[c] != nullptr && !text(values[c], strlen(values[c]))) return false;
      if ((c == 0 || c + 1 < t.columns) && !text("\t", 1)) return false;
    }
    if (!line_end()) return false;
  }
  return true;
}

// Hands `emit` the file's text as the file holds it, in `form`. A UTF-8
// file's text goes straight through: it is every save but a UTF-16 file's.
template <typename emit_function>
bool lay_out(const table_rows& t, const text_form& form, emit_function emit) {
  if (form.encoding == text_encoding::utf8) {
    const std::string_view end = line_end_of(form);
    return lay_out_rows(t, emit, [&] { return emit(end.data(), end.size()); });
  }
  text_writer w;
  start_text_writer(w, form, emit);
  return lay_out_rows(
             t, [&](const char* text, size_t length) { return write_text(w, text, length); },
             [&] { return write_line_end(w); }) &&
         finish_text(w);
}

int64_t laid_out_size(const table_rows& t, const text_form& form) {
  int64_t size = 0;
  lay_out(t, form, [&](const char*, size_t length) {
    size += static_cast<int64_t>(length);
    return true;
  });
  return size;
}

// Stops at the first failed write: writing on would only fail again, or, at
// a terminal whose Ctrl-C broke off a write, leave a gap in the text. Adds
// what it writes to `hash`.
bool write_rows(FILE* file, const table_rows& t, const text_form& form, content_hash& hash) {
  return lay_out(t, form, [&](const char* text, size_t length) {
    add_to_content_hash(hash, text, length);
    return write_unlocked(text, length, file) == length;
  });
}

// Runs `query` into `result`; false after reporting why not. Said as
// "query aborted" when the result, not the query, ran out of memory.
bool get_table(const char* query, table_result& result, int& rows, int& columns) {
  if (query == nullptr) return run_statement(nullptr);
  char** raw = nullptr;
  char* message = nullptr;
  const int queried = sqlite3_get_table(scratch_db, query, &raw, &rows, &columns, &message);
  result.reset(raw);
  if (queried == SQLITE_NOMEM) {
    sqlite3_free(message);
    return run_statement(nullptr);
  }
  if (queried != SQLITE_OK) {
    report_sql_error(message);
    return false;
  }
  return true;
}

// Reads every row of table `name`, each marked where a value holds a zero
// byte: the engine hands values over as text that ends at the first one. The
// first row gives the columns, renamed in order so that any names serve.
bool read_rows(const char* name, table_rows& t) {
  const std::string quoted = double_backticks(name);
  table_result first(nullptr, &sqlite3_free_table);
  int rows = 0;
  engine_string query = own(sqlite3_mprintf("select * from `%q` limit 1", quoted.c_str()));
  if (!get_table(query.get(), first, rows, t.columns)) return false;
  if (rows == 0) {
    t.columns = 0;
    return true;
  }
  char** names = first.get();
  t.skip_row = strcmp(names[0] ? names[0] : "", "row") == 0;
  std::string columns;
  std::string marked;
  for (int c = 0; c < t.columns; ++c) {
    if (t.row_column < 0 && names[c] != nullptr && strcmp(names[c], "row") == 0) t.row_column = c;
    std::string column = "c";
    column += std::to_string(c);
    columns += (c > 0 ? ", " : "") + column;
    marked += (c > 0 ? " or " : "") +
              ("typeof(" + column + ") in ('text', 'blob') and instr(" + column + ", char(0))");
  }
  // The rows' own name with a suffix, which no name of the table can be.
  query = own(sqlite3_mprintf(
      "with `%q+`(%s) as (select * from `%q`) select *, iif(%s, 1, null) from `%q+`",
      quoted.c_str(), columns.c_str(), quoted.c_str(), marked.c_str(), quoted.c_str()));
  int marked_columns = 0;
  if (!get_table(query.get(), t.result, t.rows, marked_columns)) return false;
  if (t.rows == 0) t.columns = 0;
  return true;
}

// The first row holding a zero byte, by its `row` or its place, or empty.
std::string zero_byte_row(const table_rows& t) {
  for (int r = 1; r <= t.rows; ++r) {
    char** values = t.at(r);
    if (values[t.columns] == nullptr) continue;
    if (t.row_column >= 0 && values[t.row_column] != nullptr) return values[t.row_column];
    return std::to_string(r);
  }
  return "";
}

// Why a save was refused once, as the user is told.
std::string refusal(save_result refused, const std::string& loaded_from) {
  switch (refused) {
    case save_result::cut_at_zero:
      return "some lines held a zero byte and were cut when loaded";
    case save_result::not_loaded:
      return "the file exists and was not loaded";
    case save_result::left_by_earlier_run:
      return "its table was left by an earlier run";
    case save_result::loaded_elsewhere:
      return "its table was loaded from " + loaded_from;
    default:
      return "it changed on disk since it was loaded";
  }
}

}  // namespace

void save_text_table(const char* name) {
  table_rows t;
  if (!read_rows(name, t)) return;
  const seen_file* seen = find_seen_file(name);
  const text_form form = seen != nullptr ? seen->form : text_form{};
  const int64_t size = laid_out_size(t, form);
  const std::string zero_byte = zero_byte_row(t);
  const bool zero_byte_refused = !zero_byte.empty() && !zero_byte_accepted(name, zero_byte);
  content_hash hash;
  if (!start_content_hash(hash)) {
    run_statement(nullptr);
    return;
  }

  // A file is written with the signals that end the run held: an interrupt
  // that removed the scratch database halfway would leave the rows nowhere
  // but in a temporary file. A device or FIFO is written with them let
  // through, so a reader that stops reading can't keep the run from ending;
  // only a reader that goes away is no reason to end it.
  hold_interrupts(true);
  save_target target;
  save_result saved =
      open_save_target(name, size, seen, zero_byte_refused ? zero_byte.c_str() : nullptr, target);
  const bool stream = saved == save_result::done && target.mode == save_mode::stream;
  if (stream) {
    hold_interrupts(false);
    hold_broken_pipe(true);
    // Written through standard output's own descriptor, perhaps: what is
    // printed before must come first.
    fflush(stdout);
  }
  if (saved == save_result::done) {
    bool written = write_rows(target.file, t, form, hash);
    saved = close_save_target(target, written);
  }
  if (stream) hold_broken_pipe(false);
  hold_interrupts(false);
  switch (saved) {
    case save_result::done:
      note_table_saved(name, target.mode != save_mode::stream);
      if (target.mode != save_mode::stream) {
        seen_file written = seen_as(name, target.left);
        written.hash = content_hash_value(hash);
        written.hashed = true;
        written.form = form;
        remember_seen_file(name, written);
      }
      break;
    case save_result::cant_open:
      print_error("Can't open %s\n", name);
      break;
    case save_result::cant_write:
      print_error("Can't write %s\n", name);
      break;
    case save_result::cant_write_kept_backup:
      print_error("Can't write %s: its old content is in %s\n", name, target.backup.c_str());
      break;
    // Refused once: the next save writes, unless the file changes again.
    case save_result::changed_on_disk:
    case save_result::cut_at_zero:
    case save_result::not_loaded:
    case save_result::left_by_earlier_run:
    case save_result::loaded_elsewhere:
      target.found.form = form;
      remember_seen_file(name, target.found);
      print_error("Can't save %s: %s; save again to write over it\n", name,
                  refusal(saved, target.loaded_from).c_str());
      break;
    case save_result::zero_byte:
      accept_zero_byte(name, zero_byte);
      print_error(
          "Can't save %s: row %s holds a zero byte, and what follows it would be lost; "
          "save again to write over it\n",
          name, zero_byte.c_str());
      break;
  }
}
