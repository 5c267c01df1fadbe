// The table-valued splits of a text into rows: at a delimiter, or at the
// matches of a pattern. Both work on the text's bytes.
#include <cstring>
#include <string_view>

#include "extensions/extensions.h"
#include "extensions/regexp.h"
#include "os/os.h"
#include "texttable/texttable.h"

namespace {

using std::string_view;

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
      set_text_result(context, cursor->part);
      break;
    case n_column:
      sqlite3_result_int64(context, cursor->n);
      break;
    case string_column:
      set_text_result(context, cursor->text);
      break;
    default:
      set_text_result(context, cursor->separator);
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

bool register_split_tables(sqlite3* db) {
  for (const split_kind* kind : {&string_split, &pattern_split}) {
    if (!add_sql_module(db, kind->name, &split_module, const_cast<split_kind*>(kind))) {
      return false;
    }
  }
  return true;
}
