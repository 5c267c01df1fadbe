// Fields of a line in SQL: parts between delimiters, blank-separated fields,
// the fields of a CSV line and a CSV line built from values, and the
// table-valued splits. All of them work on the text's bytes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "shell/regexp.h"
#include "shell/shell.h"
#include "texttable/texttable.h"

namespace {

using std::string_view;

// The slice of the argument's text as the result. A copy is the only
// allocation, as the engine's own substr makes.
void set_text(sqlite3_context* context, string_view text) {
  if (text.empty()) {
    sqlite3_result_text(context, "", 0, SQLITE_STATIC);
  } else {
    sqlite3_result_text64(context, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  }
}

// Parts split at each occurrence of a non-empty delimiter, from the left.

size_t count_parts(string_view text, string_view delimiter) {
  size_t count = 1;
  for (size_t at = text.find(delimiter); at != string_view::npos;
       at = text.find(delimiter, at + delimiter.size())) {
    ++count;
  }
  return count;
}

// Part n, from 1; empty past the last.
string_view nth_part(string_view text, string_view delimiter, sqlite3_int64 n) {
  size_t start = 0;
  for (; n > 1; --n) {
    size_t at = text.find(delimiter, start);
    if (at == string_view::npos) return {};
    start = at + delimiter.size();
  }
  size_t end = text.find(delimiter, start);
  return text.substr(start, end == string_view::npos ? string_view::npos : end - start);
}

// split_part(text, delimiter, n)
void split_part_function(sqlite3_context* context, int argc, sqlite3_value** argv) {
  if (any_null(argc, argv)) return;
  const sqlite3_int64 n = sqlite3_value_int64(argv[2]);
  if (n == 0) {
    sqlite3_result_error(context, "split_part: field position must not be zero", -1);
    return;
  }
  string_view text;
  string_view delimiter;
  if (!text_of(context, argv[0], text) || !text_of(context, argv[1], delimiter)) return;
  if (delimiter.empty()) {
    set_text(context, n == 1 || n == -1 ? text : string_view());
    return;
  }
  if (n > 0) {
    set_text(context, nth_part(text, delimiter, n));
    return;
  }
  // Counted from the left, so that a delimiter that overlaps itself splits
  // the text where it does for a positive position.
  const auto count = static_cast<sqlite3_int64>(count_parts(text, delimiter));
  set_text(context, n < -count ? string_view() : nth_part(text, delimiter, count + n + 1));
}

// Blank-separated fields: runs of characters other than space and tab.

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// Field n from the left (n > 0) or the right (n < 0); empty past the last.
string_view nth_field(string_view text, sqlite3_int64 n) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (n > 0) {
    for (const char* at = begin;;) {
      while (at < end && is_blank(*at)) ++at;
      if (at == end) return {};
      const char* start = at;
      while (at < end && !is_blank(*at)) ++at;
      if (--n == 0) return string_view(start, static_cast<size_t>(at - start));
    }
  }
  for (const char* at = end;;) {
    while (at > begin && is_blank(at[-1])) --at;
    if (at == begin) return {};
    const char* stop = at;
    while (at > begin && !is_blank(at[-1])) --at;
    if (++n == 0) return string_view(at, static_cast<size_t>(stop - at));
  }
}

// field(text, n)
void field_function(sqlite3_context* context, int argc, sqlite3_value** argv) {
  if (any_null(argc, argv)) return;
  const sqlite3_int64 n = sqlite3_value_int64(argv[1]);
  string_view text;
  if (!text_of(context, argv[0], text)) return;
  set_text(context, n == 0 ? text : nth_field(text, n));
}

// field_count(text)
void field_count_function(sqlite3_context* context, int argc, sqlite3_value** argv) {
  if (any_null(argc, argv)) return;
  string_view text;
  if (!text_of(context, argv[0], text)) return;
  sqlite3_int64 count = 0;
  bool in_field = false;
  for (char c : text) {
    if (!is_blank(c) && !in_field) ++count;
    in_field = !is_blank(c);
  }
  sqlite3_result_int64(context, count);
}

// CSV: fields separated by a one-byte delimiter; a field that begins with a
// double quote runs to the quote that closes it, doubled quotes standing for
// one, and a quote left open takes the rest of the line.

struct csv_field {
  string_view inside;    // unquoted, or what stands between the quotes
  string_view after;     // text between a closing quote and the delimiter
  bool doubled = false;  // whether `inside` holds doubled quotes
  size_t end = 0;        // where the field ends: at a delimiter or the line's end
};

csv_field scan_csv_field(string_view line, size_t start, char delimiter) {
  csv_field field;
  if (start < line.size() && line[start] == '"') {
    size_t at = start + 1;
    for (;;) {
      size_t quote = line.find('"', at);
      if (quote == string_view::npos) {
        field.inside = line.substr(start + 1);
        field.end = line.size();
        return field;
      }
      if (quote + 1 < line.size() && line[quote + 1] == '"') {
        field.doubled = true;
        at = quote + 2;
        continue;
      }
      field.inside = line.substr(start + 1, quote - start - 1);
      start = quote + 1;
      break;
    }
    field.end = std::min(line.find(delimiter, start), line.size());
    field.after = line.substr(start, field.end - start);
    return field;
  }
  field.end = std::min(line.find(delimiter, start), line.size());
  field.inside = line.substr(start, field.end - start);
  return field;
}

// The delimiter of csv_field and csv_field_count: a comma, or the one byte
// given. False when the result is set: NULL, or the error for a bad one.
bool csv_delimiter(sqlite3_context* context, int argc, sqlite3_value** argv, int index,
                   char& delimiter) {
  delimiter = ',';
  if (argc <= index) return true;
  string_view given;
  if (!text_of(context, argv[index], given)) return false;
  if (given.size() != 1 || given[0] == '"') {
    char message[128];
    snprintf(message, sizeof message,
             "%s: delimiter must be a single-byte character other than a double quote",
             static_cast<const char*>(sqlite3_user_data(context)));
    sqlite3_result_error(context, message, -1);
    return false;
  }
  delimiter = given[0];
  return true;
}

void set_csv_field(sqlite3_context* context, const csv_field& field) {
  if (!field.doubled && field.after.empty()) {
    set_text(context, field.inside);
    return;
  }
  auto* value = static_cast<char*>(sqlite3_malloc64(field.inside.size() + field.after.size() + 1));
  if (value == nullptr) {
    sqlite3_result_error_nomem(context);
    return;
  }
  size_t length = 0;
  for (size_t i = 0; i < field.inside.size(); ++i) {
    value[length++] = field.inside[i];
    if (field.inside[i] == '"') ++i;  // the second of a doubled quote
  }
  memcpy(value + length, field.after.data(), field.after.size());
  length += field.after.size();
  sqlite3_result_text64(context, value, length, sqlite3_free, SQLITE_UTF8);
}

// csv_field(line, n) and csv_field(line, n, delimiter)
void csv_field_function(sqlite3_context* context, int argc, sqlite3_value** argv) {
  if (any_null(argc, argv)) return;
  char delimiter = ',';
  string_view line;
  if (!csv_delimiter(context, argc, argv, 2, delimiter) || !text_of(context, argv[0], line)) return;
  sqlite3_int64 n = sqlite3_value_int64(argv[1]);
  if (n < 1) return;
  for (size_t start = 0;;) {
    csv_field field = scan_csv_field(line, start, delimiter);
    if (--n == 0) {
      set_csv_field(context, field);
      return;
    }
    if (field.end == line.size()) return;
    start = field.end + 1;
  }
}

// csv_field_count(line) and csv_field_count(line, delimiter)
void csv_field_count_function(sqlite3_context* context, int argc, sqlite3_value** argv) {
  if (any_null(argc, argv)) return;
  char delimiter = ',';
  string_view line;
  if (!csv_delimiter(context, argc, argv, 1, delimiter) || !text_of(context, argv[0], line)) return;
  sqlite3_int64 count = 1;
  for (size_t end = scan_csv_field(line, 0, delimiter).end; end < line.size();
       end = scan_csv_field(line, end + 1, delimiter).end) {
    ++count;
  }
  sqlite3_result_int64(context, count);
}

bool needs_quotes(string_view value) {
  for (char c : value) {
    if (c == ',' || c == '"' || c == '\r' || c == '\n') return true;
  }
  return false;
}

// csv_line(value, ...): measured first, so that the line is one allocation.
void csv_line_function(sqlite3_context* context, int argc, sqlite3_value** argv) {
  if (argc == 0) {
    sqlite3_result_error(context, "wrong number of arguments to function csv_line()", -1);
    return;
  }
  sqlite3_uint64 size = static_cast<sqlite3_uint64>(argc - 1);
  for (int i = 0; i < argc; ++i) {
    if (sqlite3_value_type(argv[i]) == SQLITE_NULL) continue;
    string_view value;
    if (!text_of(context, argv[i], value)) return;
    size += value.size();
    if (needs_quotes(value))
      size += 2 + static_cast<size_t>(std::count(value.begin(), value.end(), '"'));
  }
  sqlite3* db = sqlite3_context_db_handle(context);
  if (size > static_cast<sqlite3_uint64>(sqlite3_limit(db, SQLITE_LIMIT_LENGTH, -1))) {
    sqlite3_result_error_toobig(context);
    return;
  }
  if (size == 0) {
    sqlite3_result_text(context, "", 0, SQLITE_STATIC);
    return;
  }
  auto* line = static_cast<char*>(sqlite3_malloc64(size));
  if (line == nullptr) {
    sqlite3_result_error_nomem(context);
    return;
  }
  char* out = line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) *out++ = ',';
    if (sqlite3_value_type(argv[i]) == SQLITE_NULL) continue;
    // The text the first pass made: the engine keeps it with the value.
    string_view value(reinterpret_cast<const char*>(sqlite3_value_text(argv[i])),
                      static_cast<size_t>(sqlite3_value_bytes(argv[i])));
    if (!needs_quotes(value)) {
      memcpy(out, value.data(), value.size());
      out += value.size();
      continue;
    }
    *out++ = '"';
    for (char c : value) {
      if (c == '"') *out++ = '"';
      *out++ = c;
    }
    *out++ = '"';
  }
  sqlite3_result_text64(context, line, size, sqlite3_free, SQLITE_UTF8);
}

// The table-valued splits are eponymous virtual tables, as the engine's
// json_each is: in `from t, string_to_table(t.data, ',')` the arguments are
// constraints on the hidden columns, taken from each row of t in turn.

struct split_kind {
  const char* name;
  const char* schema;
  bool by_pattern;
};

constexpr split_kind string_split = {
    "string_to_table", "create table x(value, n, string hidden, delimiter hidden)", false};
constexpr split_kind pattern_split = {
    "regexp_split_to_table", "create table x(value, n, string hidden, pattern hidden)", true};

enum split_column { value_column, n_column, string_column, separator_column };

struct split_table {
  sqlite3_vtab base;
  const split_kind* kind;
};

struct split_cursor {
  sqlite3_vtab_cursor base;
  bool by_pattern;
  // The arguments, copied: the engine's values last only as long as the
  // filter call. The buffer is kept for the next row's.
  char* buffer;
  size_t capacity;
  string_view text;
  string_view separator;      // the delimiter or the pattern
  compiled_pattern* pattern;  // compiled from `separator`, kept while it stays the same
  sqlite3_int64 n;            // the current part's number, from 1
  string_view part;
  size_t rest;  // where the part after the current one begins
  bool last;    // the current part is the last
  bool eof;
  // Where the next match is looked for, and where the last one ended.
  size_t search;
  size_t previous_end;
};

void set_table_error(sqlite3_vtab* table, const char* message) {
  sqlite3_free(table->zErrMsg);
  table->zErrMsg = sqlite3_mprintf("%s", message);
}

int split_connect(sqlite3* db, void* kind, int, const char* const*, sqlite3_vtab** out, char**) {
  const auto* split = static_cast<const split_kind*>(kind);
  int result = sqlite3_declare_vtab(db, split->schema);
  if (result != SQLITE_OK) return result;
  sqlite3_vtab_config(db, SQLITE_VTAB_INNOCUOUS);
  auto* table = static_cast<split_table*>(sqlite3_malloc(sizeof(split_table)));
  if (table == nullptr) return SQLITE_NOMEM;
  *table = {};
  table->kind = split;
  *out = &table->base;
  return SQLITE_OK;
}

int split_disconnect(sqlite3_vtab* table) {
  sqlite3_free(table);
  return SQLITE_OK;
}

// Both arguments are needed. A plan that would run the split before the row
// its arguments come from is refused, so that the engine picks another.
int split_best_index(sqlite3_vtab* base, sqlite3_index_info* info) {
  int argument[2] = {-1, -1};
  bool unusable[2] = {false, false};
  for (int i = 0; i < info->nConstraint; ++i) {
    const auto& constraint = info->aConstraint[i];
    if (constraint.iColumn < string_column || constraint.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
    const int k = constraint.iColumn - string_column;
    if (constraint.usable) {
      argument[k] = i;
    } else {
      unusable[k] = true;
    }
  }
  for (int k = 0; k < 2; ++k) {
    if (argument[k] >= 0) continue;
    if (unusable[k]) return SQLITE_CONSTRAINT;
    sqlite3_free(base->zErrMsg);
    base->zErrMsg = sqlite3_mprintf("wrong number of arguments to function %s()",
                                    reinterpret_cast<split_table*>(base)->kind->name);
    return SQLITE_ERROR;
  }
  for (int k = 0; k < 2; ++k) {
    info->aConstraintUsage[argument[k]].argvIndex = k + 1;
    info->aConstraintUsage[argument[k]].omit = 1;
  }
  info->estimatedCost = 10;
  info->estimatedRows = 10;
  return SQLITE_OK;
}

int split_open(sqlite3_vtab* base, sqlite3_vtab_cursor** out) {
  auto* cursor = static_cast<split_cursor*>(sqlite3_malloc(sizeof(split_cursor)));
  if (cursor == nullptr) return SQLITE_NOMEM;
  *cursor = {};
  cursor->by_pattern = reinterpret_cast<split_table*>(base)->kind->by_pattern;
  cursor->eof = true;
  *out = &cursor->base;
  return SQLITE_OK;
}

int split_close(sqlite3_vtab_cursor* base) {
  auto* cursor = reinterpret_cast<split_cursor*>(base);
  if (cursor->pattern != nullptr) free_pattern(cursor->pattern);
  sqlite3_free(cursor->buffer);
  sqlite3_free(cursor);
  return SQLITE_OK;
}

int pattern_failure(split_cursor* cursor, int error, PCRE2_SIZE offset) {
  std::string message = pattern_error_message(error, offset);
  if (message.empty()) return SQLITE_NOMEM;
  set_table_error(cursor->base.pVtab, message.c_str());
  return error == match_interrupted ? SQLITE_INTERRUPT : SQLITE_ERROR;
}

// The first byte of the character after the one at `at`.
size_t next_character(string_view text, size_t at) {
  ++at;
  while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xc0) == 0x80) ++at;
  return at;
}

// The part before the next match that splits: an empty match at either end
// of the text, or where the previous match ended, splits nothing.
int next_part_by_pattern(split_cursor* cursor) {
  const size_t size = cursor->text.size();
  while (cursor->search <= size) {
    int result = find_match(*cursor->pattern, cursor->text, cursor->search);
    if (result == PCRE2_ERROR_NOMATCH) break;
    if (result < 0) return pattern_failure(cursor, result, PCRE2_UNSET);
    const PCRE2_SIZE* offsets = pcre2_get_ovector_pointer(cursor->pattern->match_data);
    const size_t start = offsets[0];
    const size_t end = offsets[1];
    if (start < cursor->rest || end < start) {  // \K moved the match back
      return pattern_failure(cursor, PCRE2_ERROR_BADSUBSPATTERN, PCRE2_UNSET);
    }
    const bool splits = start < size && end > cursor->previous_end;
    cursor->previous_end = end;
    cursor->search = end > start ? end : next_character(cursor->text, end);
    if (splits) {
      cursor->part = cursor->text.substr(cursor->rest, start - cursor->rest);
      cursor->rest = end;
      return SQLITE_OK;
    }
  }
  cursor->part = cursor->text.substr(cursor->rest);
  cursor->last = true;
  return SQLITE_OK;
}

int split_next(sqlite3_vtab_cursor* base) {
  auto* cursor = reinterpret_cast<split_cursor*>(base);
  if (cursor->last) {
    cursor->eof = true;
    return SQLITE_OK;
  }
  ++cursor->n;
  if (cursor->by_pattern) return next_part_by_pattern(cursor);
  // An empty delimiter leaves the text whole.
  size_t at = cursor->separator.empty() ? string_view::npos
                                        : cursor->text.find(cursor->separator, cursor->rest);
  if (at == string_view::npos) {
    cursor->part = cursor->text.substr(cursor->rest);
    cursor->last = true;
  } else {
    cursor->part = cursor->text.substr(cursor->rest, at - cursor->rest);
    cursor->rest = at + cursor->separator.size();
  }
  return SQLITE_OK;
}

int split_filter(sqlite3_vtab_cursor* base, int, const char*, int argc, sqlite3_value** argv) {
  auto* cursor = reinterpret_cast<split_cursor*>(base);
  cursor->eof = true;
  if (argc != 2 || any_null(argc, argv)) return SQLITE_OK;
  const unsigned char* text = sqlite3_value_text(argv[0]);
  const size_t text_size = static_cast<size_t>(sqlite3_value_bytes(argv[0]));
  const unsigned char* separator = sqlite3_value_text(argv[1]);
  const size_t separator_size = static_cast<size_t>(sqlite3_value_bytes(argv[1]));
  if (text == nullptr || separator == nullptr) return SQLITE_NOMEM;
  // A pattern that stays the same from row to row is compiled once.
  if (cursor->pattern != nullptr &&
      cursor->separator != string_view(reinterpret_cast<const char*>(separator), separator_size)) {
    free_pattern(cursor->pattern);
    cursor->pattern = nullptr;
  }
  if (text_size + separator_size > cursor->capacity) {
    auto* grown = static_cast<char*>(sqlite3_realloc64(cursor->buffer, text_size + separator_size));
    if (grown == nullptr) return SQLITE_NOMEM;
    cursor->buffer = grown;
    cursor->capacity = text_size + separator_size;
  }
  if (separator_size > 0) memcpy(cursor->buffer, separator, separator_size);
  if (text_size > 0) memcpy(cursor->buffer + separator_size, text, text_size);
  cursor->separator = string_view(cursor->buffer, separator_size);
  cursor->text = string_view(cursor->buffer + separator_size, text_size);
  if (cursor->by_pattern && cursor->pattern == nullptr) {
    int error = 0;
    PCRE2_SIZE offset = PCRE2_UNSET;
    cursor->pattern = compile_pattern(cursor->separator, error, offset);
    if (cursor->pattern == nullptr) return pattern_failure(cursor, error, offset);
  }
  cursor->n = 0;
  cursor->rest = cursor->search = cursor->previous_end = 0;
  cursor->last = false;
  // An empty text has no parts; split by a pattern it is one empty part.
  if (text_size == 0 && !cursor->by_pattern) return SQLITE_OK;
  cursor->eof = false;
  return split_next(base);
}

int split_eof(sqlite3_vtab_cursor* base) {
  return reinterpret_cast<split_cursor*>(base)->eof;
}

int split_column_value(sqlite3_vtab_cursor* base, sqlite3_context* context, int column) {
  auto* cursor = reinterpret_cast<split_cursor*>(base);
  switch (column) {
    case value_column:
      set_text(context, cursor->part);
      break;
    case n_column:
      sqlite3_result_int64(context, cursor->n);
      break;
    case string_column:
      set_text(context, cursor->text);
      break;
    default:
      set_text(context, cursor->separator);
  }
  return SQLITE_OK;
}

int split_rowid(sqlite3_vtab_cursor* base, sqlite3_int64* rowid) {
  *rowid = reinterpret_cast<split_cursor*>(base)->n;
  return SQLITE_OK;
}

// No create statement: the module serves only as the table of its own name.
constexpr sqlite3_module split_module = [] {
  sqlite3_module module = {};
  module.xConnect = split_connect;
  module.xBestIndex = split_best_index;
  module.xDisconnect = split_disconnect;
  module.xOpen = split_open;
  module.xClose = split_close;
  module.xFilter = split_filter;
  module.xNext = split_next;
  module.xEof = split_eof;
  module.xColumn = split_column_value;
  module.xRowid = split_rowid;
  return module;
}();

}  // namespace

bool register_field_functions(sqlite3* db) {
  static constexpr sql_function functions[] = {
      {"split_part", 3, split_part_function},
      {"field", 2, field_function},
      {"field_count", 1, field_count_function},
      {"csv_field", 2, csv_field_function},
      {"csv_field", 3, csv_field_function},
      {"csv_field_count", 1, csv_field_count_function},
      {"csv_field_count", 2, csv_field_count_function},
      {"csv_line", -1, csv_line_function},
  };
  if (!add_sql_functions(db, functions, std::size(functions))) return false;
  for (const split_kind* kind : {&string_split, &pattern_split}) {
    if (sqlite3_create_module_v2(db, kind->name, &split_module, const_cast<split_kind*>(kind),
                                 nullptr) != SQLITE_OK) {
      print_error("SQL error: %s\n", sqlite3_errmsg(db));
      return false;
    }
  }
  return true;
}
