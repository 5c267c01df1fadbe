#include <cstdarg>
#include <cstdio>

#include "os/os.h"
#include "shell/shell.h"
#include "texttable/caret_notation.h"
#include "texttable/progress.h"
#include "texttable/seen_files.h"
#include "texttable/texttable.h"
#include "texttable/unsaved_edits.h"

namespace {

// Whether standard error is a terminal, where a message shows its control
// characters in caret notation, as the grid does: a file's name or bytes
// quoted in a message must not retitle or clear the screen.
bool error_terminal = false;

std::string formatted(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = vsnprintf(nullptr, 0, format, args);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

// The message as a terminal should show it, its line end kept.
std::string shown(std::string_view message) {
  const bool line_end = message.ends_with('\n');
  if (line_end) message.remove_suffix(1);
  std::string text;
  show_controls(message, [&text](const char* piece, size_t size) { text.append(piece, size); });
  if (line_end) text += '\n';
  return text;
}

}  // namespace

void set_error_terminal(bool terminal) {
  error_terminal = terminal;
}

void print_error(const char* format, ...) {
  os_flush_out();
  clear_load_progress();
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  os_write_error(error_terminal ? shown(text) : text);
}

void report_sql_error(char* message) {
  engine_string owned = own(message);
  // The engine leaves the message null when it could not allocate one.
  print_error("SQL error: %s\n", owned ? owned.get() : sqlite3_errstr(SQLITE_NOMEM));
}

bool run_statement(const char* sql) {
  if (sql == nullptr) {
    print_error("SQL error: %s\n", sqlite3_errstr(SQLITE_NOMEM));
    return false;
  }
  char* message = nullptr;
  if (sqlite3_exec(scratch_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    report_sql_error(message);
    return false;
  }
  return true;
}

std::string double_backticks(std::string_view name) {
  std::string quoted;
  quoted.reserve(name.size() + 2);
  for (char c : name) {
    quoted += c;
    if (c == '`') quoted += '`';
  }
  return quoted;
}

engine_string text_table_statement(const char* name) {
  return own(sqlite3_mprintf("create table `%q` (row integer primary key autoincrement,data text)",
                             double_backticks(name).c_str()));
}

int create_text_table(const char* name) {
  engine_string statement = text_table_statement(name);
  if (!run_statement(statement.get())) return 0;
  note_table_made(name);
  // A new table holds nothing of the file of its name.
  forget_seen_file(name);
  return 1;
}
