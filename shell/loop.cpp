
#include <cstdio>
#include <string>

#include "os/os.h"
#include "shell/shell.h"
#include "texttable/texttable.h"
#include "texttable/unsaved_edits.h"

sqlite3* scratch_db = nullptr;

namespace {

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool starts_with_ignoring_case(std::string_view line, const char* word) {
  return line.size() >= 4 && sqlite3_strnicmp(line.data(), word, 4) == 0;
}

bool equals_ignoring_case(const std::string& text, const char* word) {
  return sqlite3_stricmp(text.c_str(), word) == 0;
}

// The command word and the spaces after it, shared by both shapes of a
// command. Returns the position after the spaces, or npos.
size_t parse_word(std::string_view line, std::string& word) {
  size_t start = 0;
  while (start < line.size() && is_space(line[start])) ++start;
  size_t end = start;
  while (end < line.size() && !is_space(line[end])) ++end;
  if (end == start) return std::string_view::npos;
  // Only spaces separate the word from its argument; a tab does not.
  size_t after = end;
  while (after < line.size() && line[after] == ' ') ++after;
  if (after == end) return std::string_view::npos;
  word.assign(line.substr(start, end - start));
  return after;
}

// `word` `name`: the name runs to the next backtick, or without one to the
// end of the line less its line end.
bool parse_quoted(std::string_view line, size_t at, std::string& argument) {
  if (at >= line.size() || line[at] != '`') return false;
  std::string_view rest = line.substr(at + 1);
  size_t close = rest.find('`');
  if (close == std::string_view::npos) {
    close = rest.size();
    while (close > 0 && (rest[close - 1] == '\n' || rest[close - 1] == '\r')) --close;
  }
  if (close == 0) return false;
  argument.assign(rest.substr(0, close));
  return true;
}

// `word name`: the name is the next run of characters that are not white space.
bool parse_plain(std::string_view line, size_t at, std::string& argument) {
  while (at < line.size() && is_space(line[at])) ++at;
  size_t end = at;
  while (end < line.size() && !is_space(line[end])) ++end;
  if (end == at) return false;
  argument.assign(line.substr(at, end - at));
  return true;
}

void run_sql(std::string_view line) {
  print_row(reinterpret_cast<void*>(1), 0, nullptr, nullptr);
  // The engine reads the line as text that ends at its first zero byte.
  std::string sql(line);
  char* message = nullptr;
  set_sql_interruptible(true);
  int result = sqlite3_exec(scratch_db, sql.c_str(), print_row, nullptr, &message);
  set_sql_interruptible(false);
  const std::string refused = settle_table_edits();
  if (result != SQLITE_OK) {
    // The engine says only "not authorized" of what the watch refused.
    if (!refused.empty()) {
      sqlite3_free(message);
      message = sqlite3_mprintf("%s", refused.c_str());
    }
    report_sql_error(message);
  } else {
    os_write_out(std::to_string(sqlite3_changes(scratch_db)) + " rows affected.\n");
  }
}

}  // namespace

void show_help() {
  os_write_out(
      "Commands:\n"
      "  help\tThis help\n"
      "  new <table>\t CREATE TABLE (row int,data text)\n"
      "  load <file>\tLoads a text file in a table created with 'new'\n"
      "  save <table>\tSaves the table as a text file, cells separated with tabs\n"
      "  quit\tQuits plinth\n");
}

bool parse_command(std::string_view line, std::string& word, std::string& argument) {
  // A typed line is text: whatever follows a zero byte is not part of it.
  line = line.substr(0, line.find('\0'));
  size_t at = parse_word(line, word);
  if (at == std::string_view::npos) return false;
  return parse_quoted(line, at, argument) || parse_plain(line, at, argument);
}

bool run_line(std::string_view line) {
  take_cancel_request();  // a Ctrl-C that came between commands cancels nothing
  apply_engine_settings();
  if (starts_with_ignoring_case(line, "quit")) return false;
  if (starts_with_ignoring_case(line, "help")) {
    show_help();
    return true;
  }
  std::string word;
  std::string argument;
  if (parse_command(line, word, argument)) {
    if (equals_ignoring_case(word, "load")) {
      load_text_file(argument.c_str());
      return true;
    }
    if (equals_ignoring_case(word, "save")) {
      save_text_table(argument.c_str());
      return true;
    }
    if (equals_ignoring_case(word, "new")) {
      create_text_table(argument.c_str());
      return true;
    }
  }
  run_sql(line);
  return true;
}

bool run_ends(bool leaving, bool typed) {
  static bool refused = false;
  if (!leaving) {
    refused = false;
    return false;
  }
  if (!typed || refused) return true;
  const std::string names = unsaved_table_names();
  if (names.empty()) return true;
  print_error("Not saved: %s; quit again to leave without saving\n", names.c_str());
  refused = true;
  return false;
}
