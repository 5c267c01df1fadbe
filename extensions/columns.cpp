// The columns module: a text table of comma- or tab-separated lines as a
// table of its own columns, named by its header line. It reads the text table
// through statements of its own; columns_writes.cpp writes each change back
// into the lines.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "extensions/columns_table.h"
#include "extensions/extensions.h"
#include "os/os.h"
#include "texttable/texttable.h"

namespace {

using std::string;
using std::string_view;

// How often a loop over many lines inside one call looks for a Ctrl-C.
constexpr unsigned interrupt_check_lines = 4096;

string table_key(string_view schema, string_view name) {
  string key = string(schema) + "." + string(name);
  for (char& c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return key;
}

enum class mode { scanning, listing };

struct columns_cursor {
  sqlite3_vtab_cursor base;
  columns_table* table;
  sqlite3_uint64 serial;
  sqlite3_stmt* scan = nullptr;   // the lines after the header, in order
  sqlite3_stmt* fetch = nullptr;  // one line by its row
  bool filtered = false;          // since it was opened, for this statement
  mode how = mode::scanning;
  bool eof = true;
  std::vector<sqlite3_int64> rows;  // listing: the rows still to give
  size_t next_row = 0;
  int filter_column = -1;  // scanning: the column whose field must match `key`
  lookup_key key;
  sqlite3_int64 first_row = 0;  // the first line's row, which may begin with a byte-order mark
  sqlite3_int64 row = 0;
  bool row_known = false;  // scanning: whether `row` was read
  // The current line, where the statement that read it holds it until its
  // next step or reset.
  split_line split;
  string buffer;
};

sqlite3_uint64 cursor_serials = 0;

stamp stamp_now(columns_table* table, const columns_cursor* cursor) {
  stamp now;
  now.changes = sqlite3_total_changes64(table->db);
  now.cursor = sqlite3_get_autocommit(table->db) ? 0 : cursor->serial;
  return now;
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

// The columns: read from the text table, or those it was created with.
int columns_of(sqlite3* db, module_state* state, const string& key, const arguments& args,
               const string& quoted, bool create, std::vector<string>& names, string& error) {
  auto known = state->columns_of.find(key);
  if (!create && known != state->columns_of.end()) {
    names = known->second;
    return SQLITE_OK;
  }
  const int result = read_columns(db, args, quoted, names, error);
  // Connecting again after the text table went: the table can still be
  // dropped, and says what is missing when read.
  if (result == SQLITE_ERROR && !create) {
    names = {"c1"};
    return SQLITE_OK;
  }
  return result;
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
  // Appended, not built from a literal plus a temporary, which g++ 12 at -O3
  // warns of falsely.
  string quoted = "`";
  quoted += double_backticks(args.table);
  quoted += '`';
  std::vector<string> names;
  int result = columns_of(db, state, key, args, quoted, create, names, error);
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
  table->numbers = {db, state->reals_computed, nullptr};
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

int disconnect_table(sqlite3_vtab* base) {
  auto* table = reinterpret_cast<columns_table*>(base);
  for (sqlite3_stmt* statement :
       {table->read_line, table->first_row, table->insert, table->insert_replacing, table->rewrite,
        table->move, table->move_replacing, table->remove}) {
    sqlite3_finalize(statement);
  }
  finish_number_reader(table->numbers);
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

// The number by which the engine hands the plan back to filter.
int plan_number(columns_table* table, const scan_plan& plan) {
  auto known = std::find(table->plans.begin(), table->plans.end(), plan);
  if (known == table->plans.end()) known = table->plans.insert(known, plan);
  return static_cast<int>(known - table->plans.begin());
}

// The engine checks each row it is given against its constraints, so that
// none is omitted.
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
  scan_plan plan;
  if (rowid >= 0) {
    plan.kind = plan_kind::rowid;
    info->aConstraintUsage[rowid].argvIndex = 1;
    info->estimatedCost = 10;
    info->estimatedRows = 1;
    info->idxFlags = SQLITE_INDEX_SCAN_UNIQUE;
  } else if (equal >= 0) {
    sqlite3_value* value = nullptr;
    plan.kind = plan_kind::equal;
    plan.column = info->aConstraint[equal].iColumn;
    plan.repeated = sqlite3_vtab_rhs_value(info, equal, &value) != SQLITE_OK;
    info->aConstraintUsage[equal].argvIndex = 1;
    // Looked up in an index after the first time; a join should take it.
    // Each row found is a line read by its row, at random: the larger the
    // text table, the more that costs, so that a join looks up rows in the
    // smaller table and reads the larger one in order.
    const double rows = std::max(1.0, lines / 100);
    info->estimatedCost = 20 + std::log2(lines + 1) + rows * (1 + std::log2(lines + 1) / 2);
    info->estimatedRows = static_cast<sqlite3_int64>(rows);
  } else {
    info->estimatedCost = lines * 4 + 10;
    info->estimatedRows = static_cast<sqlite3_int64>(lines);
  }
  info->idxNum = plan_number(table, plan);
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
  cursor->row_known = true;
  start_split(cursor->split, line, first_field_start(line, row == cursor->first_row));
}

int interrupted(columns_table* table) {
  set_error(&table->base, sqlite3_errstr(SQLITE_INTERRUPT));
  return SQLITE_INTERRUPT;
}

// The row of the line a scan is at, read only when asked for: most scans
// never need it.
sqlite3_int64 current_row(columns_cursor* cursor) {
  if (!cursor->row_known) {
    cursor->row = sqlite3_column_int64(cursor->scan, 0);
    cursor->row_known = true;
  }
  return cursor->row;
}

// The next line of the scan whose field matches the filter, if there is one.
int next_scanned(columns_cursor* cursor) {
  columns_table* table = cursor->table;
  for (unsigned seen = 1;; ++seen) {
    const int result = step(table, cursor->scan);
    if (result == SQLITE_DONE) {
      cursor->eof = true;
      return SQLITE_OK;
    }
    if (result != SQLITE_ROW) return engine_error(table, result);
    cursor->row_known = false;
    const string_view line = column_text_of(cursor->scan, 1);
    const bool first =
        line.starts_with(byte_order_mark) && current_row(cursor) == cursor->first_row;
    start_split(cursor->split, line, first_field_start(line, first));
    if (cursor->filter_column < 0) return SQLITE_OK;
    string_view text;
    if (field_text(cursor->split, static_cast<size_t>(cursor->filter_column), table->args.format,
                   cursor->buffer, text) &&
        may_match(table->numbers, text, cursor->key)) {
      return SQLITE_OK;
    }
    if (seen % interrupt_check_lines == 0 && sql_interrupted()) return interrupted(table);
  }
}

// The next row of the list whose line is still there.
int next_listed(columns_cursor* cursor) {
  columns_table* table = cursor->table;
  while (cursor->next_row < cursor->rows.size()) {
    const sqlite3_int64 row = cursor->rows[cursor->next_row++];
    sqlite3_reset(cursor->fetch);
    sqlite3_bind_int64(cursor->fetch, 1, row);
    const int result = step(table, cursor->fetch);
    if (result == SQLITE_ROW) {
      take_line(cursor, row, column_text_of(cursor->fetch, 0));
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
  // Counted by a statement of the engine's on the text table: a step of the
  // table's, should the text table read it.
  ++table->stepping;
  int result = estimate_lines(table->db, table->quoted, table->lines);
  --table->stepping;
  if (result == SQLITE_OK) result = start_scan(cursor, after);
  if (result != SQLITE_OK) return result;
  const auto column = static_cast<size_t>(index.column);
  // Room for the lines foreseen, within reason: rows far apart foresee too
  // many.
  constexpr double most_foreseen = 1 << 21;
  bool room = reserve_index(index, static_cast<size_t>(std::min(table->lines, most_foreseen)) + 64);
  for (unsigned seen = 1; room; ++seen) {
    result = step(table, cursor->scan);
    if (result != SQLITE_ROW) break;
    const sqlite3_int64 row = sqlite3_column_int64(cursor->scan, 0);
    const string_view line = column_text_of(cursor->scan, 1);
    start_split(cursor->split, line, first_field_start(line, row == cursor->first_row));
    string_view field;
    if (field_text(cursor->split, column, table->args.format, cursor->buffer, field)) {
      room = index_field(index, table->numbers, row, field);
    }
    if (seen % interrupt_check_lines == 0 && sql_interrupted()) {
      result = SQLITE_INTERRUPT;
      break;
    }
  }
  sqlite3_reset(cursor->scan);
  if (!room) result = SQLITE_NOMEM;
  if (result != SQLITE_DONE) {
    free_index(index);
    if (result == SQLITE_INTERRUPT) return interrupted(table);
    if (result == SQLITE_NOMEM) return SQLITE_NOMEM;
    return engine_error(table, result);
  }
  finish_index(index);
  index.first_row = cursor->first_row;
  index.made = now;
  return SQLITE_OK;
}

int start_listing(columns_cursor* cursor) {
  cursor->how = mode::listing;
  cursor->next_row = 0;
  cursor->eof = false;
  return next_listed(cursor);
}

// The rows whose field equals the key: from the column's index when it is
// up to date or the lookup is worth one; else by a scan of that field.
int filter_equal(columns_cursor* cursor, const scan_plan& plan, sqlite3_int64 after,
                 const stamp& now) {
  columns_table* table = cursor->table;
  column_index& index = *index_of(table, plan.column);
  const bool again = table->scanned_column == plan.column && table->scanned == now;
  if (plan.repeated || again) {
    const int result = build_index(cursor, index, after, now);
    if (result != SQLITE_OK) return result;
    rows_of(index, cursor->key, cursor->rows);
    return start_listing(cursor);
  }
  table->scanned_column = plan.column;
  table->scanned = now;
  cursor->filter_column = plan.column;
  const int result = start_scan(cursor, after);
  if (result != SQLITE_OK) return result;
  cursor->eof = false;
  return next_scanned(cursor);
}

int filter(sqlite3_vtab_cursor* base, int plan_index, const char*, int argc, sqlite3_value** argv) {
  auto* cursor = reinterpret_cast<columns_cursor*>(base);
  columns_table* table = cursor->table;
  cursor->eof = true;
  cursor->filter_column = -1;
  cursor->how = mode::scanning;
  cursor->rows.clear();
  if (reads_itself(table)) return SQLITE_ERROR;
  if (plan_index < 0 || static_cast<size_t>(plan_index) >= table->plans.size()) {
    set_error(&table->base, "columns: unknown plan");
    return SQLITE_ERROR;
  }
  const scan_plan plan = table->plans[static_cast<size_t>(plan_index)];
  if (cursor->scan != nullptr) sqlite3_reset(cursor->scan);
  int result = prepare(table, cursor->fetch, "select data from %s where row = ?1");
  if (result != SQLITE_OK) return result;
  // The text table may be another since the last statement: looked at once
  // for each, before any index is trusted.
  bool found = false;
  if (!cursor->filtered) {
    result = find_first_row(table, cursor->first_row, found);
    if (result != SQLITE_OK) return result;
    cursor->filtered = true;
  }
  const stamp now = stamp_now(table, cursor);
  // An index the lines have moved on from is of no more use.
  for (column_index& stale : table->indexes) {
    if (stale.entries != nullptr && !(stale.made == now)) free_index(stale);
  }
  if (plan.kind == plan_kind::equal && argc == 1) {
    key_of(argv[0], cursor->key);
    if (cursor->key.count == 0) return SQLITE_OK;
    // An index made since the last change answers alone: a join asks once
    // for each row of the other table.
    const column_index& index = *index_of(table, plan.column);
    if (index.entries != nullptr && index.made == now) {
      cursor->first_row = index.first_row;
      rows_of(index, cursor->key, cursor->rows);
      return start_listing(cursor);
    }
  }
  result = find_first_row(table, cursor->first_row, found);
  if (result != SQLITE_OK) return result;
  if (!found) return SQLITE_OK;
  // With a header, the rows are the lines after it; the first line has no
  // row before it.
  const sqlite3_int64 after = table->args.header ? cursor->first_row : cursor->first_row - 1;
  if (plan.kind == plan_kind::rowid && argc == 1) {
    const sqlite3_int64 row = sqlite3_value_int64(argv[0]);
    if (row > after) cursor->rows.push_back(row);
    return start_listing(cursor);
  }
  if (plan.kind == plan_kind::equal && argc == 1) return filter_equal(cursor, plan, after, now);
  result = start_scan(cursor, after);
  if (result != SQLITE_OK) return result;
  cursor->eof = false;
  return next_scanned(cursor);
}

int at_end(sqlite3_vtab_cursor* base) {
  return reinterpret_cast<columns_cursor*>(base)->eof;
}

int column_value(sqlite3_vtab_cursor* base, sqlite3_context* context, int column) {
  auto* cursor = reinterpret_cast<columns_cursor*>(base);
  // A column that an update leaves as it is needs no value: its text stays.
  if (sqlite3_vtab_nochange(context)) return SQLITE_OK;
  columns_table* table = cursor->table;
  string_view text;
  if (!field_text(cursor->split, static_cast<size_t>(column), table->args.format, cursor->buffer,
                  text)) {
    return SQLITE_OK;
  }
  const field_value value = field_value_of(table->numbers, text);
  switch (value.kind) {
    case field_kind::integer:
      sqlite3_result_int64(context, value.integer);
      break;
    case field_kind::real:
      sqlite3_result_double(context, value.real);
      break;
    default:
      set_text_result(context, text);
  }
  return SQLITE_OK;
}

int row_id(sqlite3_vtab_cursor* base, sqlite3_int64* row) {
  *row = current_row(reinterpret_cast<columns_cursor*>(base));
  return SQLITE_OK;
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
  module.xUpdate = update_lines;
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
  state->reals_computed = engine_reads_reals_as_computed(db);
  return add_sql_module(db, "columns", &columns_module, state, free_state);
}
