#include "texttable/saved_text.h"

#include "shell/shell.h"
#include "texttable/texttable.h"

namespace {

// Runs `query` into `result`; false with the engine's message in `error`.
// Said as "out of memory" also when the result, not the query, ran out of
// it (the engine's word then is "query aborted").
bool get_table(const char* query, table_result& result, int& rows, int& columns,
               std::string& error) {
  if (query == nullptr) {
    error = sqlite3_errstr(SQLITE_NOMEM);
    return false;
  }
  char** raw = nullptr;
  char* message = nullptr;
  const int queried = sqlite3_get_table(scratch_db, query, &raw, &rows, &columns, &message);
  result.reset(raw);
  engine_string owned = own(message);
  if (queried == SQLITE_NOMEM) {
    error = sqlite3_errstr(SQLITE_NOMEM);
    return false;
  }
  if (queried != SQLITE_OK) {
    error = message != nullptr ? message : sqlite3_errstr(queried);
    return false;
  }
  return true;
}

}  // namespace

int64_t laid_out_size(const table_rows& t, const text_form& form) {
  int64_t size = 0;
  lay_out(t, form, [&](const char*, size_t length) {
    size += static_cast<int64_t>(length);
    return true;
  });
  return size;
}

// Each row is marked where a value holds a zero byte: the engine hands values
// over as text that ends at the first one. The first row gives the columns,
// renamed in order so that any names serve.
bool read_table_rows(const char* name, table_rows& t, std::string& error) {
  const std::string quoted = double_backticks(name);
  table_result first(nullptr, &sqlite3_free_table);
  int rows = 0;
  engine_string query = own(sqlite3_mprintf("select * from `%q` limit 1", quoted.c_str()));
  if (!get_table(query.get(), first, rows, t.columns, error)) return false;
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
  if (!get_table(query.get(), t.result, t.rows, marked_columns, error)) return false;
  if (t.rows == 0) t.columns = 0;
  return true;
}

std::string zero_byte_row(const table_rows& t) {
  for (int r = 1; r <= t.rows; ++r) {
    char** values = t.at(r);
    if (values[t.columns] == nullptr) continue;
    if (t.row_column >= 0 && values[t.row_column] != nullptr) return values[t.row_column];
    return std::to_string(r);
  }
  return "";
}
