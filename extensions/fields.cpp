// Fields of a line in SQL: parts between delimiters, blank-separated fields,
// the fields of a CSV line and a CSV line built from values. All of them work
// on the text's bytes.
#include <cstdio>
#include <iterator>
#include <string_view>

#include "extensions/csv.h"
#include "extensions/extensions.h"
#include "extensions/regexp.h"
#include "os/os.h"
#include "texttable/texttable.h"

namespace {

using std::string_view;

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
    set_text_result(context, n == 1 || n == -1 ? text : string_view());
    return;
  }
  if (n > 0) {
    set_text_result(context, nth_part(text, delimiter, n));
    return;
  }
  // Counted from the left, so that a delimiter that overlaps itself splits
  // the text where it does for a positive position.
  const auto count = static_cast<sqlite3_int64>(count_parts(text, delimiter));
  set_text_result(context, n < -count ? string_view() : nth_part(text, delimiter, count + n + 1));
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
  set_text_result(context, n == 0 ? text : nth_field(text, n));
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

// CSV fields, read as csv.h reads them.

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
  if (is_plain(field)) {
    set_text_result(context, field.inside);
    return;
  }
  auto* value = static_cast<char*>(sqlite3_malloc64(field.inside.size() + field.after.size() + 1));
  if (value == nullptr) {
    sqlite3_result_error_nomem(context);
    return;
  }
  const char* end = unquote_csv_field(field, value);
  sqlite3_result_text64(context, value, static_cast<sqlite3_uint64>(end - value), sqlite3_free,
                        SQLITE_UTF8);
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
    size += csv_value_size(value, ',');
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
    out = write_csv_value(value, ',', out);
  }
  sqlite3_result_text64(context, line, size, sqlite3_free, SQLITE_UTF8);
}

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
  return add_sql_functions(db, functions, std::size(functions));
}
