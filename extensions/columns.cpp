// The columns module: a text table of comma- or tab-separated lines as a
// table of its own columns, named by its header line. It reads the text table
// through statements of its own, and writes each change back into the lines,
// inside the user's statement, rewriting only the fields whose value changed.
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "extensions/csv.h"
#include "extensions/extensions.h"
#include "os/os.h"
#include "texttable/texttable.h"

namespace {

using std::string;
using std::string_view;

constexpr string_view byte_order_mark = "\xef\xbb\xbf";

// How often a loop over many lines inside one call looks for a Ctrl-C.
constexpr unsigned interrupt_check_lines = 4096;

string_view trim(string_view text) {
  const char* blanks = " \t\r\n\f\v";
  const size_t start = text.find_first_not_of(blanks);
  if (start == string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(blanks) - start + 1);
}

bool same_ignoring_case(string_view a, string_view b) {
  return a.size() == b.size() && sqlite3_strnicmp(a.data(), b.data(), a.size()) == 0;
}

// Arguments: the text table's name, then header=yes|no and delimiter=X.

struct layout {
  char delimiter = ',';
  bool quoting = true;  // false when tab-separated: a field is all that lies between two tabs
};

struct arguments {
  string table;
  bool header = true;
  layout format;
};

// A name or value as SQL writes it: between backticks, double or single
// quotes or square brackets (each quote inside doubled), or bare. False when
// a quote is never closed or text follows it.
bool unquote(string_view text, string& out) {
  text = trim(text);
  out.clear();
  if (text.empty() || string_view("`\"'[").find(text[0]) == string_view::npos) {
    out.assign(text);
    return true;
  }
  const char close = text[0] == '[' ? ']' : text[0];
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i] != close) {
      out += text[i];
    } else if (close != ']' && i + 1 < text.size() && text[i + 1] == close) {
      out += close;
      ++i;
    } else {
      return i + 1 == text.size();
    }
  }
  return false;
}

bool ends_with_ignoring_case(string_view text, string_view suffix) {
  return text.size() >= suffix.size() &&
         same_ignoring_case(text.substr(text.size() - suffix.size()), suffix);
}

bool parse_arguments(int argc, const char* const* argv, arguments& parsed, string& error) {
  if (argc < 4 || !unquote(argv[3], parsed.table) || parsed.table.empty()) {
    error = argc < 4 ? "columns: name the text table: using columns(table)"
                     : string("columns: bad text table name: ").append(trim(argv[3]));
    return false;
  }
  bool delimiter_given = false;
  for (int i = 4; i < argc; ++i) {
    const string_view argument = trim(argv[i]);
    const size_t equals = argument.find('=');
    const string_view key = trim(argument.substr(0, equals));
    string value;
    const bool readable =
        equals != string_view::npos && unquote(argument.substr(equals + 1), value);
    if (readable && same_ignoring_case(key, "header")) {
      if (!same_ignoring_case(value, "yes") && !same_ignoring_case(value, "no")) {
        error = string("columns: header must be yes or no: ").append(argument);
        return false;
      }
      parsed.header = same_ignoring_case(value, "yes");
    } else if (equals != string_view::npos && same_ignoring_case(key, "delimiter")) {
      if (readable && same_ignoring_case(value, "tab")) value.assign(1, '\t');
      if (!readable || value.size() != 1 || value[0] == '"') {
        error = string("columns: bad delimiter: ")
                    .append(argument)
                    .append(" (one byte other than a double quote, or tab)");
        return false;
      }
      parsed.format.delimiter = value[0];
      delimiter_given = true;
    } else {
      error = string("columns: unknown argument: ").append(argument);
      return false;
    }
  }
  if (!delimiter_given && (ends_with_ignoring_case(parsed.table, ".tsv") ||
                           ends_with_ignoring_case(parsed.table, ".tab"))) {
    parsed.format.delimiter = '\t';
  }
  parsed.format.quoting = parsed.format.delimiter != '\t';
  return true;
}

// Numbers. A field is given as a number only when its text is exactly how the
// engine writes that number as text, so that what the grid shows and what a
// save writes stay the bytes of the file.

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// The integer of a decimal integer's text within 64 bits, leading zeros and
// a sign allowed.
bool parse_integer(string_view text, sqlite3_int64& value) {
  const bool negative = text.starts_with('-');
  if (negative || text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return false;
  uint64_t magnitude = 0;
  for (char c : text) {
    if (!is_digit(c)) return false;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (magnitude > (UINT64_MAX - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  const uint64_t limit = static_cast<uint64_t>(INT64_MAX) + (negative ? 1 : 0);
  if (magnitude > limit) return false;
  value =
      negative ? static_cast<sqlite3_int64>(0 - magnitude) : static_cast<sqlite3_int64>(magnitude);
  return true;
}

// A decimal literal's double, read whole; no hexadecimal, infinity or NaN.
bool parse_real(string_view text, double& value) {
  char buffer[64];
  if (text.empty() || text.size() >= sizeof buffer) return false;
  bool digit = false;
  for (char c : text) {
    if (is_digit(c)) {
      digit = true;
    } else if (c != '.' && c != 'e' && c != 'E' && c != '+' && c != '-') {
      return false;
    }
  }
  if (!digit) return false;
  memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  char* end = nullptr;
  value = strtod(buffer, &end);
  return end == buffer + text.size() && std::isfinite(value);
}

// Whether the engine keeps a real of this value as an integer: it is whole
// and within 64 bits.
bool is_whole(double value) {
  return value == std::floor(value) && value >= -9223372036854775808.0 &&
         value < 9223372036854775808.0;
}

// How the engine writes a real as text.
string real_text(double value) {
  char printed[64];
  sqlite3_snprintf(sizeof printed, printed, "%!.15g", value);
  return printed;
}

enum class kind { text, integer, real };

// What the field's text gives: an integer, a real or its text.
kind kind_of(string_view text, sqlite3_int64& integer, double& real) {
  if (text.empty() || text.size() > 40 || !(is_digit(text[0]) || text[0] == '-')) {
    return kind::text;
  }
  const string_view digits = text.substr(text[0] == '-' ? 1 : 0);
  if (!digits.empty() && std::all_of(digits.begin(), digits.end(), is_digit)) {
    const bool canonical = digits[0] != '0' || (digits.size() == 1 && text[0] != '-');
    return canonical && parse_integer(text, integer) ? kind::integer : kind::text;
  }
  // A whole real is an integer to the engine, written without its fraction:
  // "3.0" and "1e3" stay text.
  if (parse_real(text, real) && !is_whole(real) && real_text(real) == text) return kind::real;
  return kind::text;
}

// The number that the engine's numeric affinity makes of a text (spaces at
// either end allowed), written as the engine writes it; false when it makes
// none. A text field equals a number in a comparison under that affinity.
bool numeric_text(string_view text, string& number) {
  text = trim(text);
  if (text.empty() || !(is_digit(text[0]) || string_view("+-.").find(text[0]) != string_view::npos))
    return false;
  sqlite3_int64 integer = 0;
  double real = 0;
  if (parse_integer(text, integer)) {
    number = std::to_string(integer);
  } else if (parse_real(text, real)) {
    number = is_whole(real) ? std::to_string(static_cast<sqlite3_int64>(real)) : real_text(real);
  } else {
    return false;
  }
  return true;
}

// Splitting a line into fields, lazily: only as far as the fields asked for.

struct field_span {
  size_t start = 0;  // the field's first byte in the line
  csv_field field;
};

struct split_line {
  string_view line;
  size_t rest = 0;        // where the next field not yet split begins
  bool complete = false;  // every field of the line is split
  std::vector<field_span> fields;
};

void start_split(split_line& split, string_view line, size_t from) {
  split.line = line;
  split.rest = from;
  split.complete = false;
  split.fields.clear();
}

// Splits until field n (from 0) is known or the line has no more.
void split_to(split_line& split, size_t n, const layout& format) {
  const string_view line = split.line;
  while (split.fields.size() <= n && !split.complete) {
    field_span& span = split.fields.emplace_back();
    span.start = split.rest;
    if (format.quoting && split.rest < line.size() && line[split.rest] == '"') {
      span.field = scan_csv_field(line, split.rest, format.delimiter);
    } else {
      const size_t left = line.size() - split.rest;
      const auto* at =
          static_cast<const char*>(memchr(line.data() + split.rest, format.delimiter, left));
      span.field.end = at == nullptr ? line.size() : static_cast<size_t>(at - line.data());
      span.field.inside = string_view(line.data() + split.rest, span.field.end - split.rest);
    }
    if (span.field.end >= line.size()) {
      split.complete = true;
    } else {
      split.rest = span.field.end + 1;
    }
  }
}

// The value text of field n, unquoted into `buffer` when it must be; false
// when the line has fewer fields.
bool field_text(split_line& split, size_t n, const layout& format, string& buffer,
                string_view& text) {
  split_to(split, n, format);
  if (n >= split.fields.size()) return false;
  const csv_field& field = split.fields[n].field;
  if (is_plain(field)) {
    text = field.inside;
  } else {
    buffer.resize(field.inside.size() + field.after.size());
    text = string_view(buffer.data(), static_cast<size_t>(unquote_csv_field(field, buffer.data()) -
                                                          buffer.data()));
  }
  return true;
}

// Where a line's first field begins: after a byte-order mark on the first
// line of the file.
size_t first_field_start(string_view line, bool first_line) {
  return first_line && line.starts_with(byte_order_mark) ? byte_order_mark.size() : 0;
}

// The value a constraint compares with, as the text it is looked up by:
// the text of a text, and a number as the engine writes it (a whole real as
// an integer). `numeric` when the text is a number's, so that text fields
// that the engine's numeric affinity makes that number match too.
struct lookup_key {
  string text;
  bool numeric = false;
};

bool key_of(sqlite3_value* value, lookup_key& key) {
  switch (sqlite3_value_type(value)) {
    case SQLITE_NULL:
      return false;
    case SQLITE_INTEGER:
      key.text = std::to_string(sqlite3_value_int64(value));
      key.numeric = true;
      return true;
    case SQLITE_FLOAT: {
      const double real = sqlite3_value_double(value);
      key.text =
          is_whole(real) ? std::to_string(static_cast<sqlite3_int64>(real)) : real_text(real);
      key.numeric = true;
      return true;
    }
    default: {
      const auto* text = static_cast<const char*>(sqlite3_value_blob(value));
      key.text.assign(text == nullptr ? "" : text, static_cast<size_t>(sqlite3_value_bytes(value)));
      string number;
      key.numeric = numeric_text(key.text, number) && number == key.text;
      return true;
    }
  }
}

// Whether a field of this text may equal the key: it is the key's text, or a
// text the engine may take as the key's number. The engine checks each row
// it is given, so a row too many costs time, never a wrong result.
bool may_match(string_view text, const lookup_key& key, string& scratch) {
  if (text == key.text) return true;
  return key.numeric && numeric_text(text, scratch) && scratch == key.text;
}

// An index of one column: the hash of each field's text (and of the number it
// may stand for) with its row, sorted. A hash shared by two texts only gives
// rows that the engine's own check then drops. Up to a budget, the index also
// keeps a copy of each line, as the engine's own index of a join keeps the
// columns it needs: a join then reads no page of the text table at random.

constexpr size_t index_text_budget = size_t{256} << 20;
constexpr size_t no_text = SIZE_MAX;

struct index_entry {
  uint64_t hash;
  sqlite3_int64 row;
  size_t offset;  // of the line's copy, or no_text
  size_t size;
  bool operator<(const index_entry& other) const {
    return hash != other.hash ? hash < other.hash : row < other.row;
  }
};

uint64_t hash_of(string_view text) {
  return std::hash<string_view>()(text);
}

// When a cache of what the text table holds was made: the connection's count
// of changed rows, and, inside a transaction, the cursor that made it. A
// rollback undoes changes without a count: what was made inside a
// transaction serves only the statement that made it.
struct stamp {
  sqlite3_int64 changes = -1;
  sqlite3_uint64 cursor = 0;
  bool operator==(const stamp&) const = default;
};

struct column_index {
  int column = -1;
  stamp made;
  index_entry* entries = nullptr;  // from the engine's allocator, as is `text`
  size_t count = 0;
  char* text = nullptr;  // the copies of the lines
  sqlite3_int64 first_row = 0;
};

// What stays the same for the connection: the columns each table was
// created with, so that connecting again later gives the same ones.
struct module_state {
  std::map<string, std::vector<string>> columns_of;  // by "schema.table", lower case
};

string table_key(string_view schema, string_view name) {
  string key = string(schema) + "." + string(name);
  for (char& c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return key;
}

struct columns_table {
  sqlite3_vtab base;
  sqlite3* db;
  module_state* state;
  string schema;
  string name;
  arguments args;
  string quoted;  // the text table's name between backticks, for statements
  std::vector<string> columns;
  double lines = 1000;  // the last count of rows seen, for the planner
  // Statements of the writes and the lookups they need, made at first use.
  sqlite3_stmt* read_line = nullptr;
  sqlite3_stmt* first_row = nullptr;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* insert_replacing = nullptr;
  sqlite3_stmt* rewrite = nullptr;
  sqlite3_stmt* move = nullptr;
  sqlite3_stmt* move_replacing = nullptr;
  sqlite3_stmt* remove = nullptr;
  std::vector<column_index> indexes;
  // The column that a scan last filtered, and when: filtered again, it gets
  // an index.
  int scanned_column = -1;
  stamp scanned;
  split_line split;
  string buffer;
  string line;
  std::vector<char> changed;
};

enum class mode { scanning, listing };

struct columns_cursor {
  sqlite3_vtab_cursor base;
  columns_table* table;
  sqlite3_uint64 serial;
  sqlite3_stmt* scan = nullptr;   // the lines after the header, in order
  sqlite3_stmt* fetch = nullptr;  // one line by its row
  mode how = mode::scanning;
  bool eof = true;
  std::vector<sqlite3_int64> rows;  // listing: the rows still to give
  size_t next_row = 0;
  string listed;                    // their lines, when the index kept them
  std::vector<size_t> listed_ends;  // where each line ends in `listed`
  int filter_column = -1;           // scanning: the column whose field must match `key`
  lookup_key key;
  sqlite3_int64 first_row = 0;  // the first line's row, which may begin with a byte-order mark
  sqlite3_int64 row = 0;
  string line;  // the current line, copied: a write may move what the statement read
  split_line split;
  string buffer;
  string scratch;
};

sqlite3_uint64 cursor_serials = 0;

void set_error(sqlite3_vtab* table, const string& message) {
  sqlite3_free(table->zErrMsg);
  table->zErrMsg = sqlite3_mprintf("%s", message.c_str());
}

int engine_error(columns_table* table, int result) {
  set_error(&table->base, sqlite3_errmsg(table->db));
  return result;
}

// Prepares `statement` at its first use from `sql`, in which %s stands for
// the text table.
int prepare(columns_table* table, sqlite3_stmt*& statement, const char* sql) {
  if (statement != nullptr) return SQLITE_OK;
  engine_string text = own(sqlite3_mprintf(sql, table->quoted.c_str()));
  if (text == nullptr) return SQLITE_NOMEM;
  const int result =
      sqlite3_prepare_v3(table->db, text.get(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  if (result != SQLITE_OK) return engine_error(table, result);
  return SQLITE_OK;
}

stamp stamp_now(columns_table* table, const columns_cursor* cursor) {
  stamp now;
  now.changes = sqlite3_total_changes64(table->db);
  now.cursor = sqlite3_get_autocommit(table->db) ? 0 : cursor->serial;
  return now;
}

// The row of the text table's first line, or false when it has none.
int find_first_row(columns_table* table, sqlite3_int64& row, bool& found) {
  int result = prepare(table, table->first_row, "select min(row) from %s");
  if (result != SQLITE_OK) return result;
  result = sqlite3_step(table->first_row);
  found = result == SQLITE_ROW && sqlite3_column_type(table->first_row, 0) != SQLITE_NULL;
  if (found) row = sqlite3_column_int64(table->first_row, 0);
  result = sqlite3_reset(table->first_row);
  return result == SQLITE_OK ? SQLITE_OK : engine_error(table, result);
}

string_view column_text_of(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return string_view(text == nullptr ? "" : text,
                     static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}

// Column names from the header line, or c1 to cN for the most fields of any
// line. An empty table reads as one empty line.

void name_columns(const arguments& args, const std::vector<string>& header, size_t count,
                  std::vector<string>& names) {
  names.clear();
  for (size_t i = 0; i < (args.header ? std::max<size_t>(header.size(), 1) : count); ++i) {
    const string given = args.header && i < header.size() ? header[i] : string();
    string base = given;
    if (base.empty()) base.append("c").append(std::to_string(i + 1));
    string name = base;
    auto taken = [&names](const string& n) {
      return std::any_of(names.begin(), names.end(), [&n](const string& m) {
        return sqlite3_stricmp(m.c_str(), n.c_str()) == 0;
      });
    };
    for (int k = 2; taken(name); ++k) name = base + "_" + std::to_string(k);
    names.push_back(name);
  }
}

// Reads the header line, or counts the fields of every line. Not a text
// table: SQLITE_ERROR; the message is in `error`.
int read_columns(sqlite3* db, const arguments& args, const string& quoted,
                 std::vector<string>& names, string& error) {
  sqlite3_stmt* statement = nullptr;
  const string sql = "select data from " + quoted + " order by row";
  const int prepared = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
  if (prepared != SQLITE_OK) {
    error =
        prepared == SQLITE_NOMEM
            ? sqlite3_errstr(prepared)
            : "columns: " + args.table + " is not a text table (it needs the columns row and data)";
    return prepared == SQLITE_NOMEM ? prepared : SQLITE_ERROR;
  }
  std::vector<string> header;
  size_t most = 1;
  split_line split;
  string buffer;
  int result;
  sqlite3_int64 lines = 0;
  while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
    const string_view line = column_text_of(statement, 0);
    start_split(split, line, first_field_start(line, lines == 0));
    ++lines;
    if (args.header) {
      for (size_t i = 0; i == 0 || !split.complete; ++i) {
        string_view name;
        field_text(split, i, args.format, buffer, name);
        header.emplace_back(name);
      }
      break;
    }
    split_to(split, SIZE_MAX, args.format);
    most = std::max(most, split.fields.size());
    if (lines % interrupt_check_lines == 0 && sql_interrupted()) {
      result = SQLITE_INTERRUPT;
      break;
    }
  }
  if (result == SQLITE_ROW || result == SQLITE_DONE) result = SQLITE_OK;
  // Any other failure is not the table's: reported as the engine's.
  if (result == SQLITE_ERROR) result = SQLITE_ABORT;
  if (result != SQLITE_OK)
    error = result == SQLITE_INTERRUPT ? sqlite3_errstr(result) : sqlite3_errmsg(db);
  sqlite3_finalize(statement);
  name_columns(args, header, most, names);
  return result;
}

// About how many lines the text table has, for the planner: loaded lines
// are numbered without gaps. Only a lack of memory is a failure: the engine
// would fail the statement after a call that said it went well.
int estimate_lines(sqlite3* db, const string& quoted, double& lines) {
  sqlite3_stmt* statement = nullptr;
  // Each of min and max alone is a lookup; both in one select is a scan.
  const string sql =
      "select (select max(row) from " + quoted + ") - (select min(row) from " + quoted + ") + 1";
  lines = 1000;
  int result = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
  if (result == SQLITE_OK) result = sqlite3_step(statement);
  if (result == SQLITE_ROW && sqlite3_column_type(statement, 0) != SQLITE_NULL) {
    lines = std::max(1.0, sqlite3_column_double(statement, 0));
  }
  sqlite3_finalize(statement);
  return result == SQLITE_NOMEM ? result : SQLITE_OK;
}

string declaration(const std::vector<string>& names) {
  string sql = "create table x(";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) sql += ", ";
    sql += '"';
    for (char c : names[i]) {
      sql += c;
      if (c == '"') sql += '"';
    }
    sql += '"';
  }
  return sql + ")";
}

int connect_table(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out,
                  char** message, bool create) {
  auto* state = static_cast<module_state*>(aux);
  arguments args;
  string error;
  if (!parse_arguments(argc, argv, args, error)) {
    *message = sqlite3_mprintf("%s", error.c_str());
    return SQLITE_ERROR;
  }
  const string key = table_key(argv[1], argv[2]);
  const string quoted = "`" + double_backticks(args.table) + "`";
  std::vector<string> names;
  auto known = state->columns_of.find(key);
  int result = SQLITE_OK;
  if (create || known == state->columns_of.end()) {
    result = read_columns(db, args, quoted, names, error);
    // Connecting again after the text table went: the table can still be
    // dropped, and says what is missing when read.
    if (result == SQLITE_ERROR && !create) {
      names = {"c1"};
      result = SQLITE_OK;
    }
  } else {
    names = known->second;
  }
  double lines = 0;
  if (result == SQLITE_OK && (result = estimate_lines(db, quoted, lines)) != SQLITE_OK) {
    error = sqlite3_errstr(result);
  }
  if (result == SQLITE_OK &&
      (result = sqlite3_declare_vtab(db, declaration(names).c_str())) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
  }
  if (result != SQLITE_OK) {
    *message = sqlite3_mprintf("%s", error.c_str());
    return result;
  }
  sqlite3_vtab_config(db, SQLITE_VTAB_CONSTRAINT_SUPPORT, 1);
  void* memory = sqlite3_malloc(sizeof(columns_table));
  if (memory == nullptr) return SQLITE_NOMEM;
  auto* table = new (memory) columns_table{};
  table->db = db;
  table->state = state;
  table->schema = argv[1];
  table->name = argv[2];
  table->args = args;
  table->quoted = quoted;
  table->columns = names;
  table->lines = lines;
  state->columns_of[key] = names;
  *out = &table->base;
  return SQLITE_OK;
}

int create_table(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out,
                 char** message) {
  return connect_table(db, aux, argc, argv, out, message, true);
}

int reconnect_table(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out,
                    char** message) {
  return connect_table(db, aux, argc, argv, out, message, false);
}

void free_index(column_index& index) {
  sqlite3_free(index.entries);
  sqlite3_free(index.text);
  index.entries = nullptr;
  index.text = nullptr;
  index.count = 0;
}

int disconnect_table(sqlite3_vtab* base) {
  auto* table = reinterpret_cast<columns_table*>(base);
  for (sqlite3_stmt* statement :
       {table->read_line, table->first_row, table->insert, table->insert_replacing, table->rewrite,
        table->move, table->move_replacing, table->remove}) {
    sqlite3_finalize(statement);
  }
  for (column_index& index : table->indexes) free_index(index);
  table->~columns_table();
  sqlite3_free(table);
  return SQLITE_OK;
}

int destroy_table(sqlite3_vtab* base) {
  auto* table = reinterpret_cast<columns_table*>(base);
  table->state->columns_of.erase(table_key(table->schema, table->name));
  return disconnect_table(base);
}

int rename_table(sqlite3_vtab* base, const char* new_name) {
  auto* table = reinterpret_cast<columns_table*>(base);
  auto& known = table->state->columns_of;
  known.erase(table_key(table->schema, table->name));
  table->name = new_name;
  known[table_key(table->schema, table->name)] = table->columns;
  return SQLITE_OK;
}

// Plans: a whole scan; one row by its rowid; or the rows whose field equals
// a value, from the column's index or a scan that compares only that field.
// The engine checks each row it is given against its constraints, so that
// none is omitted.
enum plan : int { plan_scan = 0, plan_rowid = 1, plan_equal = 2 };
constexpr int plan_mask = 3;
constexpr int repeated_flag = 4;  // the value comes from another table: filtered once per row
constexpr int column_shift = 8;

int best_index(sqlite3_vtab* base, sqlite3_index_info* info) {
  auto* table = reinterpret_cast<columns_table*>(base);
  int rowid = -1;
  int equal = -1;
  for (int i = 0; i < info->nConstraint; ++i) {
    const auto& constraint = info->aConstraint[i];
    if (!constraint.usable || constraint.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
    if (constraint.iColumn < 0) {
      if (rowid < 0) rowid = i;
    } else if (equal < 0 && sqlite3_stricmp(sqlite3_vtab_collation(info, i), "BINARY") == 0) {
      equal = i;
    }
  }
  const double lines = table->lines;
  if (rowid >= 0) {
    info->idxNum = plan_rowid;
    info->aConstraintUsage[rowid].argvIndex = 1;
    info->estimatedCost = 10;
    info->estimatedRows = 1;
    info->idxFlags = SQLITE_INDEX_SCAN_UNIQUE;
  } else if (equal >= 0) {
    sqlite3_value* value = nullptr;
    const bool known = sqlite3_vtab_rhs_value(info, equal, &value) == SQLITE_OK;
    info->idxNum = plan_equal | (known ? 0 : repeated_flag) |
                   (info->aConstraint[equal].iColumn << column_shift);
    info->aConstraintUsage[equal].argvIndex = 1;
    // Looked up in an index after the first time; a join should take it.
    info->estimatedCost = 20 + std::log2(lines + 1);
    info->estimatedRows = std::max<sqlite3_int64>(1, static_cast<sqlite3_int64>(lines / 100));
  } else {
    info->idxNum = plan_scan;
    info->estimatedCost = lines * 4 + 10;
    info->estimatedRows = static_cast<sqlite3_int64>(lines);
  }
  return SQLITE_OK;
}

int open_cursor(sqlite3_vtab* base, sqlite3_vtab_cursor** out) {
  void* memory = sqlite3_malloc(sizeof(columns_cursor));
  if (memory == nullptr) return SQLITE_NOMEM;
  auto* cursor = new (memory) columns_cursor{};
  cursor->table = reinterpret_cast<columns_table*>(base);
  cursor->serial = ++cursor_serials;
  *out = &cursor->base;
  return SQLITE_OK;
}

int close_cursor(sqlite3_vtab_cursor* base) {
  auto* cursor = reinterpret_cast<columns_cursor*>(base);
  sqlite3_finalize(cursor->scan);
  sqlite3_finalize(cursor->fetch);
  cursor->~columns_cursor();
  sqlite3_free(cursor);
  return SQLITE_OK;
}

void take_line(columns_cursor* cursor, sqlite3_int64 row, string_view line) {
  cursor->row = row;
  cursor->line.assign(line);
  start_split(cursor->split, cursor->line,
              first_field_start(cursor->line, row == cursor->first_row));
}

int interrupted(columns_table* table) {
  set_error(&table->base, sqlite3_errstr(SQLITE_INTERRUPT));
  return SQLITE_INTERRUPT;
}

// The next line of the scan whose field matches the filter, if there is one.
int next_scanned(columns_cursor* cursor) {
  columns_table* table = cursor->table;
  for (unsigned seen = 1;; ++seen) {
    const int result = sqlite3_step(cursor->scan);
    if (result == SQLITE_DONE) {
      cursor->eof = true;
      return SQLITE_OK;
    }
    if (result != SQLITE_ROW) return engine_error(table, result);
    const sqlite3_int64 row = sqlite3_column_int64(cursor->scan, 0);
    const string_view line = column_text_of(cursor->scan, 1);
    if (cursor->filter_column < 0) {
      take_line(cursor, row, line);
      return SQLITE_OK;
    }
    start_split(cursor->split, line, first_field_start(line, row == cursor->first_row));
    string_view text;
    if (field_text(cursor->split, static_cast<size_t>(cursor->filter_column), table->args.format,
                   cursor->buffer, text) &&
        may_match(text, cursor->key, cursor->scratch)) {
      take_line(cursor, row, line);
      return SQLITE_OK;
    }
    if (seen % interrupt_check_lines == 0 && sql_interrupted()) return interrupted(table);
  }
}

// The next row of the list whose line is still there: from the copies the
// index kept, or read by its row.
int next_listed(columns_cursor* cursor) {
  columns_table* table = cursor->table;
  if (cursor->next_row < cursor->listed_ends.size()) {
    const size_t i = cursor->next_row++;
    const size_t start = i == 0 ? 0 : cursor->listed_ends[i - 1];
    take_line(cursor, cursor->rows[i],
              string_view(cursor->listed).substr(start, cursor->listed_ends[i] - start));
    return SQLITE_OK;
  }
  while (cursor->next_row < cursor->rows.size()) {
    const sqlite3_int64 row = cursor->rows[cursor->next_row++];
    sqlite3_reset(cursor->fetch);
    sqlite3_bind_int64(cursor->fetch, 1, row);
    const int result = sqlite3_step(cursor->fetch);
    if (result == SQLITE_ROW) {
      take_line(cursor, row, column_text_of(cursor->fetch, 0));
      sqlite3_reset(cursor->fetch);
      return SQLITE_OK;
    }
    if (result != SQLITE_DONE) return engine_error(table, result);
    if (cursor->next_row % interrupt_check_lines == 0 && sql_interrupted()) {
      return interrupted(table);
    }
  }
  cursor->eof = true;
  return SQLITE_OK;
}

int next_row(sqlite3_vtab_cursor* base) {
  auto* cursor = reinterpret_cast<columns_cursor*>(base);
  return cursor->how == mode::scanning ? next_scanned(cursor) : next_listed(cursor);
}

// Starts the scan of every line after the header.
int start_scan(columns_cursor* cursor, sqlite3_int64 after) {
  columns_table* table = cursor->table;
  const int result =
      prepare(table, cursor->scan, "select row, data from %s where row > ?1 order by row");
  if (result != SQLITE_OK) return result;
  sqlite3_reset(cursor->scan);
  sqlite3_bind_int64(cursor->scan, 1, after);
  return SQLITE_OK;
}

column_index* index_of(columns_table* table, int column) {
  for (column_index& index : table->indexes) {
    if (index.column == column) return &index;
  }
  table->indexes.push_back({});
  table->indexes.back().column = column;
  return &table->indexes.back();
}

// Reads the field of `column` in every line after the header into the
// column's index.
int build_index(columns_cursor* cursor, column_index& index, sqlite3_int64 after,
                const stamp& now) {
  columns_table* table = cursor->table;
  free_index(index);
  index.made = stamp();
  int result = start_scan(cursor, after);
  if (result != SQLITE_OK) return result;
  size_t capacity = 0;
  size_t count = 0;
  index_entry* entries = nullptr;
  size_t text_capacity = 0;
  size_t text_size = 0;
  char* text = nullptr;
  bool keep_text = true;
  auto grow = [](auto*& block, size_t& room, size_t needed, size_t unit) {
    if (needed <= room) return true;
    const size_t grown = std::max<size_t>({1024, room * 2, needed});
    auto* more = static_cast<std::remove_reference_t<decltype(block)>>(
        sqlite3_realloc64(block, grown * unit));
    if (more == nullptr) return false;
    block = more;
    room = grown;
    return true;
  };
  string number;
  for (unsigned seen = 1;; ++seen) {
    result = sqlite3_step(cursor->scan);
    if (result != SQLITE_ROW) break;
    const sqlite3_int64 row = sqlite3_column_int64(cursor->scan, 0);
    const string_view line = column_text_of(cursor->scan, 1);
    start_split(cursor->split, line, first_field_start(line, row == cursor->first_row));
    string_view field;
    if (field_text(cursor->split, static_cast<size_t>(index.column), table->args.format,
                   cursor->buffer, field)) {
      sqlite3_int64 integer;
      double real;
      const bool alias = kind_of(field, integer, real) == kind::text &&
                         numeric_text(field, number) && number != field;
      size_t offset = no_text;
      keep_text = keep_text && text_size + line.size() <= index_text_budget;
      if (keep_text) {
        if (!grow(text, text_capacity, text_size + line.size(), 1)) {
          result = SQLITE_NOMEM;
          break;
        }
        if (!line.empty()) memcpy(text + text_size, line.data(), line.size());
        offset = text_size;
        text_size += line.size();
      }
      if (!grow(entries, capacity, count + 2, sizeof(index_entry))) {
        result = SQLITE_NOMEM;
        break;
      }
      entries[count++] = {hash_of(field), row, offset, line.size()};
      if (alias) entries[count++] = {hash_of(number), row, offset, line.size()};
    }
    if (seen % interrupt_check_lines == 0 && sql_interrupted()) {
      result = SQLITE_INTERRUPT;
      break;
    }
  }
  sqlite3_reset(cursor->scan);
  if (result != SQLITE_DONE) {
    sqlite3_free(entries);
    sqlite3_free(text);
    if (result == SQLITE_INTERRUPT) return interrupted(table);
    if (result == SQLITE_NOMEM) return SQLITE_NOMEM;
    return engine_error(table, result);
  }
  if (!keep_text) {
    for (size_t i = 0; i < count; ++i) entries[i].offset = no_text;
  }
  std::sort(entries, entries + count);
  index.entries = entries;
  index.count = count;
  index.text = text;
  index.first_row = cursor->first_row;
  index.made = now;
  table->lines = std::max(1.0, static_cast<double>(count));
  return SQLITE_OK;
}

// Lists the rows whose field the index has under the key's hash, with their
// lines when the index kept them.
void list_from_index(columns_cursor* cursor, const column_index& index) {
  const uint64_t hash = hash_of(cursor->key.text);
  const index_entry* begin = index.entries;
  const index_entry* end = begin + index.count;
  const index_entry* at = std::lower_bound(begin, end, index_entry{hash, INT64_MIN, 0, 0});
  cursor->rows.clear();
  cursor->listed.clear();
  cursor->listed_ends.clear();
  for (; at != end && at->hash == hash; ++at) {
    if (!cursor->rows.empty() && cursor->rows.back() == at->row) continue;
    cursor->rows.push_back(at->row);
    if (at->offset == no_text) continue;
    cursor->listed.append(index.text + at->offset, at->size);
    cursor->listed_ends.push_back(cursor->listed.size());
  }
  cursor->how = mode::listing;
  cursor->next_row = 0;
}

int filter(sqlite3_vtab_cursor* base, int plan_number, const char*, int argc,
           sqlite3_value** argv) {
  auto* cursor = reinterpret_cast<columns_cursor*>(base);
  columns_table* table = cursor->table;
  cursor->eof = true;
  cursor->filter_column = -1;
  cursor->how = mode::scanning;
  cursor->rows.clear();
  cursor->listed.clear();
  cursor->listed_ends.clear();
  if (cursor->scan != nullptr) sqlite3_reset(cursor->scan);
  int result = prepare(table, cursor->fetch, "select data from %s where row = ?1");
  if (result != SQLITE_OK) return result;
  const int plan = plan_number & plan_mask;
  const int column = plan_number >> column_shift;
  const stamp now = stamp_now(table, cursor);
  // An index the lines have moved on from is of no more use.
  for (column_index& stale : table->indexes) {
    if (stale.entries != nullptr && !(stale.made == now)) free_index(stale);
  }
  column_index* index = nullptr;
  if (plan == plan_equal && argc == 1) {
    if (!key_of(argv[0], cursor->key)) return SQLITE_OK;
    // An index made since the last change answers alone: a join asks once
    // for each row of the other table.
    index = index_of(table, column);
    if (index->made == now) {
      cursor->first_row = index->first_row;
      list_from_index(cursor, *index);
      cursor->eof = false;
      return next_listed(cursor);
    }
  }
  bool found = false;
  result = find_first_row(table, cursor->first_row, found);
  if (result != SQLITE_OK) return result;
  if (!found) return SQLITE_OK;
  // With a header, the rows are the lines after it; the first line has no
  // row before it.
  const sqlite3_int64 after = table->args.header ? cursor->first_row : cursor->first_row - 1;
  if (plan == plan_rowid && argc == 1) {
    const sqlite3_int64 row = sqlite3_value_int64(argv[0]);
    if (row > after) cursor->rows.push_back(row);
    cursor->how = mode::listing;
    cursor->next_row = 0;
    cursor->eof = false;
    return next_listed(cursor);
  }
  if (index != nullptr) {
    const bool again = table->scanned_column == column && table->scanned == now;
    if ((plan_number & repeated_flag) != 0 || again) {
      result = build_index(cursor, *index, after, now);
      if (result != SQLITE_OK) return result;
      list_from_index(cursor, *index);
      cursor->eof = false;
      return next_listed(cursor);
    }
    table->scanned_column = column;
    table->scanned = now;
    cursor->filter_column = column;
  }
  result = start_scan(cursor, after);
  if (result != SQLITE_OK) return result;
  cursor->eof = false;
  return next_scanned(cursor);
}

int at_end(sqlite3_vtab_cursor* base) {
  return reinterpret_cast<columns_cursor*>(base)->eof;
}

void set_field_result(sqlite3_context* context, string_view text) {
  sqlite3_int64 integer = 0;
  double real = 0;
  switch (kind_of(text, integer, real)) {
    case kind::integer:
      sqlite3_result_int64(context, integer);
      break;
    case kind::real:
      sqlite3_result_double(context, real);
      break;
    default:
      set_text_result(context, text);
  }
}

int column_value(sqlite3_vtab_cursor* base, sqlite3_context* context, int column) {
  auto* cursor = reinterpret_cast<columns_cursor*>(base);
  // A column that an update leaves as it is needs no value: its text stays.
  if (sqlite3_vtab_nochange(context)) return SQLITE_OK;
  string_view text;
  if (field_text(cursor->split, static_cast<size_t>(column), cursor->table->args.format,
                 cursor->buffer, text)) {
    set_field_result(context, text);
  }
  return SQLITE_OK;
}

int row_id(sqlite3_vtab_cursor* base, sqlite3_int64* row) {
  *row = reinterpret_cast<columns_cursor*>(base)->row;
  return SQLITE_OK;
}

// Writes: each value as a field, into the text table's lines.

// The value's text, or false, with the table's error set, when a
// tab-separated line can't hold it.
bool value_text(columns_table* table, sqlite3_value* value, string_view& text) {
  const auto* bytes = static_cast<const char*>(sqlite3_value_blob(value));
  if (sqlite3_value_type(value) != SQLITE_BLOB) {
    bytes = reinterpret_cast<const char*>(sqlite3_value_text(value));
  }
  text =
      string_view(bytes == nullptr ? "" : bytes, static_cast<size_t>(sqlite3_value_bytes(value)));
  if (!table->args.format.quoting && text.find_first_of("\t\r\n") != string_view::npos) {
    set_error(&table->base, "columns: " + table->args.table +
                                " is tab-separated: a value there can't hold a tab, CR or LF");
    return false;
  }
  return true;
}

void append_value(columns_table* table, string_view text, string& line) {
  const char delimiter = table->args.format.delimiter;
  if (!table->args.format.quoting) {
    line += text;
    return;
  }
  const size_t at = line.size();
  line.resize(at + csv_value_size(text, delimiter));
  write_csv_value(text, delimiter, line.data() + at);
}

// Whether the new value leaves field n as it was: the same text, or NULL
// where the field is empty or missing.
bool unchanged(columns_table* table, sqlite3_value* value, size_t n) {
  if (sqlite3_value_nochange(value)) return true;
  string_view old;
  const bool present = field_text(table->split, n, table->args.format, table->buffer, old);
  if (sqlite3_value_type(value) == SQLITE_NULL) return !present || old.empty();
  if (!present) return false;
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
  return string_view(text == nullptr ? "" : text,
                     static_cast<size_t>(sqlite3_value_bytes(value))) == old;
}

// The line of the values, every column written as a field.
bool new_line(columns_table* table, sqlite3_value** values, string& line) {
  line.clear();
  for (size_t i = 0; i < table->columns.size(); ++i) {
    if (i > 0) line += table->args.format.delimiter;
    string_view text;
    if (sqlite3_value_type(values[i]) == SQLITE_NULL) continue;
    if (!value_text(table, values[i], text)) return false;
    append_value(table, text, line);
  }
  return true;
}

// `old` with each field whose value changed written anew; the other fields,
// and any beyond the columns, keep their bytes, and are split only as far as
// the last that changed.
bool changed_line(columns_table* table, string_view old, bool first_line, sqlite3_value** values,
                  string& line) {
  const layout& format = table->args.format;
  split_line& split = table->split;
  start_split(split, old, first_field_start(old, first_line));
  const size_t columns = table->columns.size();
  std::vector<char>& changed = table->changed;
  changed.assign(columns, 0);
  size_t last = 0;  // one past the last field that changed
  for (size_t i = 0; i < columns; ++i) {
    changed[i] = !unchanged(table, values[i], i);
    if (changed[i]) last = i + 1;
  }
  line.clear();
  if (last == 0) {
    line += old;
    return true;
  }
  split_to(split, last - 1, format);
  line += old.substr(0, split.fields[0].start);
  for (size_t i = 0; i < last; ++i) {
    if (i > 0) line += format.delimiter;
    if (changed[i]) {
      string_view text;
      if (sqlite3_value_type(values[i]) == SQLITE_NULL) continue;
      if (!value_text(table, values[i], text)) return false;
      append_value(table, text, line);
    } else if (i < split.fields.size()) {
      line += old.substr(split.fields[i].start, split.fields[i].field.end - split.fields[i].start);
    }
  }
  // The fields after the last that changed, as they were.
  if (last <= split.fields.size()) line += old.substr(split.fields[last - 1].field.end);
  return true;
}

// Runs a write whose bindings (text bound static among them) last only for it.
int run_write(columns_table* table, sqlite3_stmt* statement) {
  const int result = sqlite3_step(statement);
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  if (result == SQLITE_DONE) return SQLITE_OK;
  return engine_error(table, result);
}

// A row goes after the header line: never at or before it.
int check_after_header(columns_table* table, sqlite3_int64 row, bool& header_found) {
  sqlite3_int64 header = 0;
  header_found = false;
  if (!table->args.header) return SQLITE_OK;
  int result = find_first_row(table, header, header_found);
  if (result != SQLITE_OK) return result;
  if (header_found && row <= header) {
    set_error(&table->base, "columns: row " + std::to_string(row) +
                                " is not after the header line of " + table->args.table + " (row " +
                                std::to_string(header) + ")");
    return SQLITE_CONSTRAINT;
  }
  return SQLITE_OK;
}

// A table with a header and no lines gets its header line, made of the
// column names, before its first row.
int write_header(columns_table* table, sqlite3_int64 row, bool before_row) {
  string line;
  for (size_t i = 0; i < table->columns.size(); ++i) {
    if (i > 0) line += table->args.format.delimiter;
    append_value(table, table->columns[i], line);
  }
  if (before_row && row > INT64_MIN) {
    sqlite3_bind_int64(table->insert, 1, row - 1);
  } else {
    sqlite3_bind_null(table->insert, 1);
  }
  sqlite3_bind_text64(table->insert, 2, line.data(), line.size(), SQLITE_STATIC, SQLITE_UTF8);
  return run_write(table, table->insert);
}

int insert_row(columns_table* table, sqlite3_value* row, sqlite3_value** values,
               sqlite3_int64* rowid) {
  int result = prepare(table, table->insert, "insert into %s(row, data) values (?1, ?2)");
  if (result == SQLITE_OK) {
    result = prepare(table, table->insert_replacing,
                     "insert or replace into %s(row, data) values (?1, ?2)");
  }
  if (result != SQLITE_OK) return result;
  if (!new_line(table, values, table->line)) return SQLITE_ERROR;
  const bool given = sqlite3_value_type(row) != SQLITE_NULL;
  bool header_found = false;
  if (given) {
    result = check_after_header(table, sqlite3_value_int64(row), header_found);
  } else if (table->args.header) {
    sqlite3_int64 header = 0;
    result = find_first_row(table, header, header_found);
  }
  if (result != SQLITE_OK) return result;
  if (table->args.header && !header_found) {
    result = write_header(table, given ? sqlite3_value_int64(row) : 0, given);
    if (result != SQLITE_OK) return result;
  }
  const bool replacing = sqlite3_vtab_on_conflict(table->db) == SQLITE_REPLACE;
  sqlite3_stmt* statement = replacing ? table->insert_replacing : table->insert;
  if (given) {
    sqlite3_bind_int64(statement, 1, sqlite3_value_int64(row));
  } else {
    sqlite3_bind_null(statement, 1);
  }
  sqlite3_bind_text64(statement, 2, table->line.data(), table->line.size(), SQLITE_STATIC,
                      SQLITE_UTF8);
  result = run_write(table, statement);
  if (result == SQLITE_OK) *rowid = sqlite3_last_insert_rowid(table->db);
  return result;
}

int update_row(columns_table* table, sqlite3_int64 old_row, sqlite3_value* row,
               sqlite3_value** values) {
  int result = prepare(table, table->read_line, "select data from %s where row = ?1");
  if (result == SQLITE_OK)
    result = prepare(table, table->rewrite, "update %s set data = ?2 where row = ?1");
  if (result == SQLITE_OK)
    result = prepare(table, table->move, "update %s set row = ?3, data = ?2 where row = ?1");
  if (result == SQLITE_OK)
    result = prepare(table, table->move_replacing,
                     "update or replace %s set row = ?3, data = ?2 where row = ?1");
  if (result != SQLITE_OK) return result;
  sqlite3_bind_int64(table->read_line, 1, old_row);
  result = sqlite3_step(table->read_line);
  if (result != SQLITE_ROW) {
    sqlite3_reset(table->read_line);
    if (result != SQLITE_DONE) return engine_error(table, result);
    set_error(&table->base,
              "columns: row " + std::to_string(old_row) + " of " + table->args.table + " is gone");
    return SQLITE_ERROR;
  }
  // The old line is read where the statement holds it, until its reset.
  const string_view old = column_text_of(table->read_line, 0);
  result = SQLITE_OK;
  bool first_line = false;
  if (!table->args.header && old.starts_with(byte_order_mark)) {
    sqlite3_int64 first = 0;
    result = find_first_row(table, first, first_line);
    first_line = first_line && first == old_row;
  }
  const bool written =
      result == SQLITE_OK && changed_line(table, old, first_line, values, table->line);
  const bool same = written && table->line == old;
  sqlite3_reset(table->read_line);
  if (!written) return result == SQLITE_OK ? SQLITE_ERROR : result;
  const sqlite3_int64 new_row = sqlite3_value_int64(row);
  sqlite3_stmt* statement = table->rewrite;
  if (new_row != old_row) {
    bool header_found;
    if ((result = check_after_header(table, new_row, header_found)) != SQLITE_OK) return result;
    statement =
        sqlite3_vtab_on_conflict(table->db) == SQLITE_REPLACE ? table->move_replacing : table->move;
    sqlite3_bind_int64(statement, 3, new_row);
  } else if (same) {
    return SQLITE_OK;
  }
  sqlite3_bind_int64(statement, 1, old_row);
  sqlite3_bind_text64(statement, 2, table->line.data(), table->line.size(), SQLITE_STATIC,
                      SQLITE_UTF8);
  return run_write(table, statement);
}

int update(sqlite3_vtab* base, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
  auto* table = reinterpret_cast<columns_table*>(base);
  if (argc == 1) {
    int result = prepare(table, table->remove, "delete from %s where row = ?1");
    if (result != SQLITE_OK) return result;
    sqlite3_bind_int64(table->remove, 1, sqlite3_value_int64(argv[0]));
    return run_write(table, table->remove);
  }
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL)
    return insert_row(table, argv[1], argv + 2, rowid);
  return update_row(table, sqlite3_value_int64(argv[0]), argv[1], argv + 2);
}

constexpr sqlite3_module columns_module = [] {
  sqlite3_module module = {};
  module.xCreate = create_table;
  module.xConnect = reconnect_table;
  module.xBestIndex = best_index;
  module.xDisconnect = disconnect_table;
  module.xDestroy = destroy_table;
  module.xOpen = open_cursor;
  module.xClose = close_cursor;
  module.xFilter = filter;
  module.xNext = next_row;
  module.xEof = at_end;
  module.xColumn = column_value;
  module.xRowid = row_id;
  module.xUpdate = update;
  module.xRename = rename_table;
  return module;
}();

void free_state(void* state) {
  delete static_cast<module_state*>(state);
}

}  // namespace

bool register_columns_table(sqlite3* db) {
  auto* state = new (std::nothrow) module_state;
  if (state == nullptr) {
    print_error("SQL error: %s\n", sqlite3_errstr(SQLITE_NOMEM));
    return false;
  }
  return add_sql_module(db, "columns", &columns_module, state, free_state);
}
