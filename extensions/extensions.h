// What plinth adds to the engine's SQL: functions, table-valued functions and
// virtual tables, one file per capability, all added to a connection in one place.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <string_view>

// Adds every function and module below to `db`. On refusal prints
// "SQL error: ..." and returns false.
bool add_sql_extensions(sqlite3* db);

// Adds the regular expression functions to `db`: regexp (behind the REGEXP
// operator), regexp_like, regexp_substr, regexp_capture and regexp_replace.
bool register_regexp_functions(sqlite3* db);

// Adds the field functions to `db`: split_part, field, field_count,
// csv_field, csv_field_count and csv_line.
bool register_field_functions(sqlite3* db);

// Adds the table-valued string_to_table and regexp_split_to_table to `db`.
bool register_split_tables(sqlite3* db);

// Adds the table-valued changes to `db`: what a save of a table would change
// in its file, as the lines of a unified difference.
bool register_changes_table(sqlite3* db);

// Adds the module `columns` to `db`: a text table of CSV or tab-separated
// lines as a table of its columns (create virtual table v using columns(t)).
bool register_columns_table(sqlite3* db);

// The table-valued functions, which go where a table does.
inline constexpr const char* table_function_names[] = {"string_to_table", "regexp_split_to_table",
                                                       "changes"};

// A scalar SQL function of the console's.
struct sql_function {
  const char* name;
  int arguments;  // -1: any number
  void (*call)(sqlite3_context*, int, sqlite3_value**);
};

// Adds `functions` to `db` as deterministic, innocuous UTF-8 functions, each
// with its name as its user data (for the messages that carry it). On refusal
// prints "SQL error: ..." and returns false.
bool add_sql_functions(sqlite3* db, const sql_function* functions, size_t count);

// Adds the module `module` as `name`, with `data` as its user data, which
// `destroy` (when given) frees once the engine is done with it. On refusal
// prints "SQL error: ..." and returns false.
bool add_sql_module(sqlite3* db, const char* name, const sqlite3_module* module, void* data,
                    void (*destroy)(void*) = nullptr);

// The slice `text` as the function's result, copied.
void set_text_result(sqlite3_context* context, std::string_view text);
