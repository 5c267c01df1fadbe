// What the columns module keeps of each table, shared by the module, which
// reads the text table, and its write-back, which changes its lines.
#pragma once

#include <sqlite3.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "extensions/columns_arguments.h"
#include "extensions/columns_fields.h"
#include "extensions/columns_index.h"
#include "extensions/columns_numbers.h"

// What stays the same for the connection: the columns each table was
// created with, so that connecting again later gives the same ones, and
// whether its engine reads reals as columns_numbers works them out.
struct module_state {
  std::map<std::string, std::vector<std::string>> columns_of;  // by "schema.table", lower case
  bool reals_computed = true;
};

// How a cursor goes through the lines, chosen by best_index: every line; one
// line by its row; or the lines whose field of `column` equals a value, from
// the column's index or a scan that compares only that field.
enum class plan_kind { scan, rowid, equal };

struct scan_plan {
  plan_kind kind = plan_kind::scan;
  int column = -1;
  bool repeated = false;  // the value comes from another table: filtered once per row
  bool operator==(const scan_plan&) const = default;
};

struct columns_table {
  sqlite3_vtab base;
  sqlite3* db;
  module_state* state;
  std::string schema;
  std::string name;
  arguments args;
  std::string quoted;  // the text table's name between backticks, for statements
  std::vector<std::string> columns;
  double lines = 1000;  // the last count of rows seen, for the planner
  number_reader numbers;
  // Statements of the writes and the lookups they need, made at first use.
  sqlite3_stmt* read_line = nullptr;
  sqlite3_stmt* first_row = nullptr;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* insert_replacing = nullptr;
  sqlite3_stmt* rewrite = nullptr;
  sqlite3_stmt* move = nullptr;
  sqlite3_stmt* move_replacing = nullptr;
  sqlite3_stmt* remove = nullptr;
  // How often `first_row` was made again since the table was connected: the
  // schema changed, and the text table may be another.
  int remade = 0;
  // Inside a step of one of its statements: a call back into the table then
  // comes from a text table that reads it.
  int stepping = 0;
  std::vector<scan_plan> plans;  // best_index's, by their number
  std::vector<column_index> indexes;
  // The column that a scan last filtered, and when: filtered again, it gets
  // an index.
  int scanned_column = -1;
  stamp scanned;
  split_line split;
  std::string buffer;
  std::string line;
  std::vector<char> changed;
};

void set_error(sqlite3_vtab* table, const std::string& message);

// Sets the engine's message as the table's and returns `result`.
int engine_error(columns_table* table, int result);

// Prepares `statement` at its first use from `sql`, in which %s stands for
// the text table.
int prepare(columns_table* table, sqlite3_stmt*& statement, const char* sql);

// Steps one of the table's statements.
int step(columns_table* table, sqlite3_stmt* statement);

// Resets a statement of the table's after its step and returns the result
// of the reset. One whose step failed is finalized, to be made again at its
// next use: it would hold the tables its failure came from, and a text table
// that reads the columns table would hold that for ever.
int finish_step(sqlite3_stmt*& statement, int stepped);

// True, with the table's error set, when the table is called from inside a
// step of its own: its text table reads it.
bool reads_itself(columns_table* table);

// The row of the text table's first line, or false when it has none. When
// the schema changed since the last call, the indexes are dropped.
int find_first_row(columns_table* table, sqlite3_int64& row, bool& found);

std::string_view column_text_of(sqlite3_stmt* statement, int column);

// The module's xUpdate: deletes, inserts and updates, written into the lines.
int update_lines(sqlite3_vtab* base, int argc, sqlite3_value** argv, sqlite3_int64* rowid);
