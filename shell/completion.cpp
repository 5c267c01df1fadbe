#include "shell/completion.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "extensions/extensions.h"
#include "shell/shell.h"
#include "texttable/texttable.h"

#ifdef PLINTH_HAVE_READLINE
#include <readline/readline.h>
#endif

namespace {

constexpr const char sql_breaks[] = " \t\n\r\f\v\"'`()[]{},;=<>!+-*/%|&~^.:?@$";
constexpr const char argument_breaks[] = " \t\n\r\f\v";

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool starts_with(std::string_view text, std::string_view prefix, bool ignore_case) {
  if (text.size() < prefix.size()) return false;
  if (!ignore_case) return text.substr(0, prefix.size()) == prefix;
  return sqlite3_strnicmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool same_word(std::string_view word, const char* keyword) {
  return word.size() == strlen(keyword) && sqlite3_strnicmp(word.data(), keyword, word.size()) == 0;
}

// Where the SQL word at the end of `text` begins: at its opening backtick when
// a quoted name is still open, else after the last character that ends words.
size_t sql_word_start(std::string_view text) {
  size_t open = std::string_view::npos;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '`') open = (open == std::string_view::npos) ? i : std::string_view::npos;
  }
  if (open != std::string_view::npos) return open;
  size_t start = text.size();
  while (start > 0 && strchr(sql_breaks, text[start - 1]) == nullptr) --start;
  return start;
}

// Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "`" + s.
std::string in_backticks(std::string_view name) {
  std::string quoted;
  quoted.reserve(name.size() + 2);
  quoted.push_back('`');
  quoted.append(name);
  quoted.push_back('`');
  return quoted;
}

std::string sql_name(std::string_view name) {
  if (is_plain_identifier(name)) return std::string(name);
  return in_backticks(double_backticks(name));
}

std::string argument_name(std::string_view name) {
  if (std::any_of(name.begin(), name.end(), is_space)) return in_backticks(name);
  return std::string(name);
}

void sort_unique(std::vector<std::string>& words) {
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
}

// Whether the text before a word ends with "columns(": the word is then the
// text table of a columns table.
bool names_text_table(std::string_view before_word) {
  while (!before_word.empty() && is_space(before_word.back())) before_word.remove_suffix(1);
  if (!before_word.ends_with('(')) return false;
  before_word.remove_suffix(1);
  while (!before_word.empty() && is_space(before_word.back())) before_word.remove_suffix(1);
  size_t start = before_word.size();
  while (start > 0 && is_word_char(before_word[start - 1])) --start;
  return same_word(before_word.substr(start), "columns");
}

}  // namespace

completion_kind completion_kind_at(std::string_view before_cursor) {
  size_t start = 0;
  while (start < before_cursor.size() && is_space(before_cursor[start])) ++start;
  size_t end = start;
  while (end < before_cursor.size() && !is_space(before_cursor[end])) ++end;
  // A command word counts once the space after it has been typed.
  if (end < before_cursor.size() && before_cursor[end] == ' ') {
    std::string_view word = before_cursor.substr(start, end - start);
    if (same_word(word, "load") || same_word(word, "new")) return completion_kind::file;
    if (same_word(word, "save")) return completion_kind::table;
  }
  std::string_view before_word = before_cursor.substr(0, sql_word_start(before_cursor));
  while (!before_word.empty() && is_space(before_word.back())) before_word.remove_suffix(1);
  if (names_text_table(before_word)) return completion_kind::sql_table;
  size_t keyword_start = before_word.size();
  while (keyword_start > 0 && is_word_char(before_word[keyword_start - 1])) --keyword_start;
  std::string_view keyword = before_word.substr(keyword_start);
  for (const char* k : {"from", "join", "into", "update", "table"}) {
    if (same_word(keyword, k)) return completion_kind::sql_table;
  }
  return completion_kind::sql;
}

const char* completion_word_breaks(completion_kind kind) {
  return (kind == completion_kind::file || kind == completion_kind::table) ? argument_breaks
                                                                           : sql_breaks;
}

bool is_plain_identifier(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  if (!std::all_of(name.begin(), name.end(), is_word_char)) return false;
  return sqlite3_keyword_check(name.data(), static_cast<int>(name.size())) == 0;
}

std::vector<std::string> complete_names(completion_kind kind, std::string_view typed, bool quoted,
                                        const std::vector<std::string>& names) {
  const bool in_sql = kind == completion_kind::sql || kind == completion_kind::sql_table;
  // SQL names match in any letter case, as the engine does; a saved name is
  // also a file name, whose case matters.
  const bool ignore_case = in_sql;
  std::vector<std::string> found;
  for (const std::string& name : names) {
    if (quoted) {
      if (starts_with(name, typed, ignore_case)) {
        found.push_back(in_sql ? double_backticks(name) : name);
      }
      continue;
    }
    std::string written = in_sql ? sql_name(name) : argument_name(name);
    if (starts_with(name, typed, ignore_case) || starts_with(written, typed, ignore_case)) {
      found.push_back(written);
    }
  }
  sort_unique(found);
  return found;
}

namespace {

// The words that begin with `typed`, all in lower case when its first letter
// is, else in upper case.
std::vector<std::string> complete_words(std::string_view typed,
                                        const std::vector<std::string_view>& words) {
  auto first_letter = std::find_if(typed.begin(), typed.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
  const bool lower = first_letter != typed.end() && *first_letter >= 'a';
  std::vector<std::string> found;
  for (std::string_view word : words) {
    if (!starts_with(word, typed, true)) continue;
    std::string written(word);
    for (char& c : written) {
      if (lower && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      if (!lower && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    found.push_back(std::move(written));
  }
  sort_unique(found);
  return found;
}

}  // namespace

std::vector<std::string> complete_keywords(std::string_view typed) {
  std::vector<std::string_view> keywords;
  for (int i = 0; i < sqlite3_keyword_count(); ++i) {
    const char* name = nullptr;
    int length = 0;
    if (sqlite3_keyword_name(i, &name, &length) != SQLITE_OK) continue;
    keywords.emplace_back(name, static_cast<size_t>(length));
  }
  return complete_words(typed, keywords);
}

std::vector<std::string> complete_functions(std::string_view typed,
                                            const std::vector<std::string>& names) {
  std::vector<std::string_view> words;
  for (const std::string& name : names) {
    if (!name.empty() && std::all_of(name.begin(), name.end(), is_word_char)) {
      words.push_back(name);
    }
  }
  return complete_words(typed, words);
}

#ifdef PLINTH_HAVE_READLINE

namespace {

std::vector<std::string> choices;
size_t next_choice = 0;

int collect_first_value(void* names, int, char** values, char**) {
  if (values[0] != nullptr) static_cast<std::vector<std::string>*>(names)->push_back(values[0]);
  return 0;
}

// The tables of the scratch database, less the engine's own. A failure (the
// file locked by another run) only means fewer choices: nothing is printed.
std::vector<std::string> table_names() {
  std::vector<std::string> names;
  sqlite3_exec(scratch_db,
               "select name from sqlite_schema where type in ('table','view')"
               " and name not like 'sqlite^_%' escape '^'",
               collect_first_value, &names, nullptr);
  return names;
}

std::vector<std::string> column_names(const std::vector<std::string>& tables) {
  std::vector<std::string> names;
  for (const std::string& table : tables) {
    engine_string query =
        own(sqlite3_mprintf("select name from pragma_table_info('%q')", table.c_str()));
    if (query) sqlite3_exec(scratch_db, query.get(), collect_first_value, &names, nullptr);
  }
  sort_unique(names);
  return names;
}

// The SQL functions of the connection, the engine's own and plinth's, and its
// modules, among which are the table-valued functions.
std::vector<std::string> function_names() {
  std::vector<std::string> names;
  sqlite3_exec(scratch_db,
               "select name from pragma_function_list union select name from pragma_module_list",
               collect_first_value, &names, nullptr);
  return names;
}

completion_kind kind_at_cursor() {
  return completion_kind_at(std::string_view(rl_line_buffer, static_cast<size_t>(rl_point)));
}

// readline's type says char*, but it only reads the characters.
char* word_breaks() {
  return const_cast<char*>(completion_word_breaks(kind_at_cursor()));
}

char* next_completion(const char*, int state) {
  if (state == 0) next_choice = 0;
  if (next_choice >= choices.size()) return nullptr;
  return strdup(choices[next_choice++].c_str());
}

// File names that hold white space are given between backticks, the only form
// the commands take them in; readline adds the closing one.
char* quote_file_name(char* name, int, char* quote) {
  if (*quote == '`') return strdup(name);
  *quote = '`';
  char* quoted = static_cast<char*>(malloc(strlen(name) + 2));
  if (quoted == nullptr) return nullptr;
  quoted[0] = '`';
  strcpy(quoted + 1, name);
  return quoted;
}

char** complete(const char* text, int, int) {
  completion_kind kind = kind_at_cursor();
  if (kind == completion_kind::file) return nullptr;  // readline's own file names
  rl_attempted_completion_over = 1;
  const bool quoted = rl_completion_quote_character == '`';
  std::vector<std::string> tables = table_names();
  choices = complete_names(kind, text, quoted, tables);
  const std::string_view line(rl_line_buffer, static_cast<size_t>(rl_point));
  const bool text_table = names_text_table(line.substr(0, sql_word_start(line)));
  if (kind == completion_kind::sql_table && !quoted && !text_table) {
    const std::vector<std::string> splits(std::begin(table_function_names),
                                          std::end(table_function_names));
    for (std::string& name : complete_functions(text, splits)) choices.push_back(std::move(name));
    sort_unique(choices);
  }
  if (kind == completion_kind::sql) {
    for (std::string& name : complete_names(kind, text, quoted, column_names(tables))) {
      choices.push_back(std::move(name));
    }
    if (!quoted) {
      for (std::string& keyword : complete_keywords(text)) choices.push_back(std::move(keyword));
      for (std::string& name : complete_functions(text, function_names())) {
        choices.push_back(std::move(name));
      }
    }
    sort_unique(choices);
  }
  return rl_completion_matches(text, next_completion);
}

}  // namespace

void set_up_completion() {
  rl_attempted_completion_function = complete;
  rl_completion_word_break_hook = word_breaks;
  rl_completer_quote_characters = "`";
  rl_filename_quote_characters = argument_breaks;
  rl_filename_quoting_function = quote_file_name;
}

#endif
