// The columns module's writes: each change goes into the text table's lines,
// inside the user's statement. An update rewrites only the fields whose
// value changed; every other byte of the line stays, unless a field's text
// could no longer be read as it was beside the new text.
#include <sqlite3.h>

#include <string>
#include <string_view>

#include "extensions/columns_table.h"

namespace {

using std::string;
using std::string_view;

// The value's text, or false, with the table's error set, when a line can't
// hold it: one line is one row.
bool value_text(columns_table* table, sqlite3_value* value, string_view& text) {
  const auto* bytes = static_cast<const char*>(sqlite3_value_blob(value));
  if (sqlite3_value_type(value) != SQLITE_BLOB) {
    bytes = reinterpret_cast<const char*>(sqlite3_value_text(value));
  }
  text =
      string_view(bytes == nullptr ? "" : bytes, static_cast<size_t>(sqlite3_value_bytes(value)));
  const bool tabs = !table->args.format.quoting;
  if (text.find_first_of(tabs ? "\t\r\n" : "\r\n") == string_view::npos) return true;
  set_error(&table->base, "columns: " + table->args.table +
                              (tabs ? " is tab-separated: a value there can't hold a tab, CR or LF"
                                    : " has one row per line: a value there can't hold CR or LF"));
  return false;
}

// Whether the new value is the value field n has, as the engine compares
// them; NULL is the value of an empty or missing field.
bool unchanged(columns_table* table, sqlite3_value* value, size_t n) {
  if (sqlite3_value_nochange(value)) return true;
  string_view old;
  const bool present = field_text(table->split, n, table->args.format, table->buffer, old);
  const int type = sqlite3_value_type(value);
  if (type == SQLITE_NULL) return !present || old.empty();
  if (!present || type == SQLITE_BLOB) return false;
  const field_value field = field_value_of(table->numbers, old);
  if (type == SQLITE_TEXT) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
    return field.kind == field_kind::text &&
           string_view(text == nullptr ? "" : text,
                       static_cast<size_t>(sqlite3_value_bytes(value))) == old;
  }
  field_value number;
  if (type == SQLITE_INTEGER) {
    number.kind = field_kind::integer;
    number.integer = sqlite3_value_int64(value);
  } else {
    number.kind = field_kind::real;
    number.real = sqlite3_value_double(value);
  }
  return same_number(field, number);
}

// Appends the value of `values[i]` as field i; NULL as an empty field.
bool append_value(columns_table* table, sqlite3_value** values, size_t i, string& line) {
  if (sqlite3_value_type(values[i]) == SQLITE_NULL) return true;
  string_view text;
  if (!value_text(table, values[i], text)) return false;
  append_field(text, table->args.format, i == 0, line);
  return true;
}

// The line of the values, every column written as a field.
bool new_line(columns_table* table, sqlite3_value** values, string& line) {
  line.clear();
  for (size_t i = 0; i < table->columns.size(); ++i) {
    if (i > 0) line += table->args.format.delimiter;
    if (!append_value(table, values, i, line)) return false;
  }
  return true;
}

// Appends old field i as it was, or, when its quote was never closed and so
// would take in what follows, closed.
void append_kept(columns_table* table, size_t i, string& line) {
  split_line& split = table->split;
  const field_span& span = split.fields[i];
  if (!is_open(split, i, table->args.format)) {
    line += split.line.substr(span.start, span.field.end - span.start);
    return;
  }
  string_view text;
  field_text(split, i, table->args.format, table->buffer, text);
  line += '"';
  for (char c : text) {
    if (c == '"') line += '"';
    line += c;
  }
  line += '"';
}

// `old` with each field whose value changed written anew; the other fields,
// and any beyond the columns, keep their bytes, and are split only as far as
// the last that changed. Fields missing from a short line stay missing
// unless one after them is set.
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
  const size_t kept = split.fields.size();
  line += old.substr(0, split.fields[0].start);
  for (size_t i = 0; i < last; ++i) {
    if (i > 0) line += format.delimiter;
    if (changed[i]) {
      if (!append_value(table, values, i, line)) return false;
    } else if (i < kept) {
      append_kept(table, i, line);
    }
  }
  // The fields after the last that changed, as they were.
  if (last <= kept) line += old.substr(split.fields[last - 1].field.end);
  return true;
}

// Runs a write whose bindings (text bound static among them) last only for it.
int run_write(columns_table* table, sqlite3_stmt*& statement) {
  const int result = step(table, statement);
  if (result == SQLITE_DONE) sqlite3_clear_bindings(statement);
  finish_step(statement, result);
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
    append_field(table->columns[i], table->args.format, i == 0, line);
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
  sqlite3_stmt*& statement = replacing ? table->insert_replacing : table->insert;
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

int prepare_updates(columns_table* table) {
  int result = prepare(table, table->read_line, "select data from %s where row = ?1");
  if (result == SQLITE_OK)
    result = prepare(table, table->rewrite, "update %s set data = ?2 where row = ?1");
  if (result == SQLITE_OK)
    result = prepare(table, table->move, "update %s set row = ?3, data = ?2 where row = ?1");
  if (result == SQLITE_OK)
    result = prepare(table, table->move_replacing,
                     "update or replace %s set row = ?3, data = ?2 where row = ?1");
  return result;
}

// The changed line of `old_row` into table->line; `same` when it is the line
// as it was.
int changed_line_of(columns_table* table, sqlite3_int64 old_row, sqlite3_value** values,
                    bool& same) {
  sqlite3_bind_int64(table->read_line, 1, old_row);
  int result = step(table, table->read_line);
  if (result != SQLITE_ROW) {
    finish_step(table->read_line, result);
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
  same = written && table->line == old;
  sqlite3_reset(table->read_line);
  if (!written) return result == SQLITE_OK ? SQLITE_ERROR : result;
  return SQLITE_OK;
}

int update_row(columns_table* table, sqlite3_int64 old_row, sqlite3_value* row,
               sqlite3_value** values) {
  int result = prepare_updates(table);
  if (result != SQLITE_OK) return result;
  bool same = false;
  if ((result = changed_line_of(table, old_row, values, same)) != SQLITE_OK) return result;
  const sqlite3_int64 new_row = sqlite3_value_int64(row);
  sqlite3_stmt** statement = &table->rewrite;
  if (new_row != old_row) {
    bool header_found;
    if ((result = check_after_header(table, new_row, header_found)) != SQLITE_OK) return result;
    const bool replacing = sqlite3_vtab_on_conflict(table->db) == SQLITE_REPLACE;
    statement = replacing ? &table->move_replacing : &table->move;
    sqlite3_bind_int64(*statement, 3, new_row);
  } else if (same) {
    return SQLITE_OK;
  }
  sqlite3_bind_int64(*statement, 1, old_row);
  sqlite3_bind_text64(*statement, 2, table->line.data(), table->line.size(), SQLITE_STATIC,
                      SQLITE_UTF8);
  return run_write(table, *statement);
}

}  // namespace

int update_lines(sqlite3_vtab* base, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
  auto* table = reinterpret_cast<columns_table*>(base);
  if (reads_itself(table)) return SQLITE_ERROR;
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
