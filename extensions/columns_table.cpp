#include "extensions/columns_table.h"

#include "texttable/texttable.h"

void set_error(sqlite3_vtab* table, const std::string& message) {
  sqlite3_free(table->zErrMsg);
  table->zErrMsg = sqlite3_mprintf("%s", message.c_str());
}

int engine_error(columns_table* table, int result) {
  set_error(&table->base, sqlite3_errmsg(table->db));
  return result;
}

int prepare(columns_table* table, sqlite3_stmt*& statement, const char* sql) {
  if (statement != nullptr) return SQLITE_OK;
  engine_string text = own(sqlite3_mprintf(sql, table->quoted.c_str()));
  if (text == nullptr) return SQLITE_NOMEM;
  const int result =
      sqlite3_prepare_v3(table->db, text.get(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  if (result != SQLITE_OK) return engine_error(table, result);
  return SQLITE_OK;
}

int step(columns_table* table, sqlite3_stmt* statement) {
  ++table->stepping;
  const int result = sqlite3_step(statement);
  --table->stepping;
  return result;
}

bool reads_itself(columns_table* table) {
  if (table->stepping == 0) return false;
  set_error(&table->base, "columns: " + table->name + " reads itself: its text table " +
                              table->args.table + " reads it");
  return true;
}

int finish_step(sqlite3_stmt*& statement, int stepped) {
  if (stepped == SQLITE_ROW || stepped == SQLITE_DONE) return sqlite3_reset(statement);
  const int result = sqlite3_finalize(statement);
  statement = nullptr;
  return result;
}

int find_first_row(columns_table* table, sqlite3_int64& row, bool& found) {
  // A statement made anew can't tell what changed since the last.
  const bool made = table->first_row == nullptr;
  int result = prepare(table, table->first_row, "select min(row) from %s");
  if (result != SQLITE_OK) return result;
  result = step(table, table->first_row);
  found = result == SQLITE_ROW && sqlite3_column_type(table->first_row, 0) != SQLITE_NULL;
  if (found) row = sqlite3_column_int64(table->first_row, 0);
  const int remade = sqlite3_stmt_status(table->first_row, SQLITE_STMTSTATUS_REPREPARE, 0);
  if (made || remade != table->remade) {
    // The name may stand for another table now, which no count of changes
    // tells: a table dropped and made again, one renamed to it.
    table->remade = remade;
    for (column_index& index : table->indexes) free_index(index);
    table->scanned_column = -1;
  }
  result = finish_step(table->first_row, result);
  return result == SQLITE_OK ? SQLITE_OK : engine_error(table, result);
}

std::string_view column_text_of(sqlite3_stmt* statement, int column) {
  // One call that takes the connection's mutex, not two: the value is read
  // inside a call of the engine's, on its thread.
  sqlite3_value* value = sqlite3_column_value(statement, column);
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
  return std::string_view(text == nullptr ? "" : text,
                          static_cast<size_t>(sqlite3_value_bytes(value)));
}
