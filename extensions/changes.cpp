// The table-valued changes('t'): what a save of table t would change in its
// file, as the lines of a unified difference between the file as it is now
// and the text the save would write there. Only a hash of each line is kept
// while the two are compared, and the lines that the rows show are read
// again from the file and the table as the rows are given.
#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "extensions/compared_lines.h"
#include "extensions/extensions.h"
#include "extensions/shortest_difference.h"
#include "os/os.h"
#include "texttable/saved_text.h"
#include "texttable/seen_files.h"
#include "texttable/utf16_text.h"

namespace {

using std::string;
using std::string_view;

// How often a loop over many lines looks for a Ctrl-C.
constexpr int64_t interrupt_check_lines = 4096;

enum column {
  line_column,
  change_column,
  file_line_column,
  table_line_column,
  text_column,
  name_column,
  context_column
};

struct changes_table {
  sqlite3_vtab base;
  sqlite3* db;
};

struct changes_cursor {
  sqlite3_vtab_cursor base;
  sqlite3* db = nullptr;
  string name;
  int64_t context = 3;
  file_lines file;
  table_lines table;
  bool file_complete = true;  // the file's last line ends with a line feed
  line_changes changes;
  int64_t a_at = 0;  // where the next hunk is looked for
  int64_t b_at = 0;
  hunk current;
  int64_t i = 0;  // the hunk's next file line and table line
  int64_t j = 0;
  bool no_newline_next = false;
  bool eof = true;
  // The current row.
  sqlite3_int64 rowid = 0;
  char change = ' ';
  int64_t file_line = 0;  // from 1; 0 where there is none
  int64_t table_line = 0;
  string_view text;  // the line without its mark: a header's ranges, a note's words
  string ranges;
};

void set_error(sqlite3_vtab* table, const string& message) {
  sqlite3_free(table->zErrMsg);
  table->zErrMsg = sqlite3_mprintf("%s", message.c_str());
}

int fail(changes_cursor* cursor, int result, const string& message) {
  set_error(cursor->base.pVtab, message);
  return result;
}

int interrupted(changes_cursor* cursor) {
  return fail(cursor, SQLITE_INTERRUPT, sqlite3_errstr(SQLITE_INTERRUPT));
}

int read_failure(changes_cursor* cursor, read_result read) {
  if (read == read_result::no_memory) return SQLITE_NOMEM;
  return fail(cursor, SQLITE_ERROR, "changes: can't read " + cursor->name);
}

int engine_failure(changes_cursor* cursor, int result) {
  if (result == SQLITE_INTERRUPT) return interrupted(cursor);
  return fail(cursor, result,
              result == SQLITE_NOMEM ? sqlite3_errstr(result) : sqlite3_errmsg(cursor->db));
}

// Reads the hash of every line of the file and of the table.
int hash_lines(changes_cursor* c, std::vector<uint64_t>& file, std::vector<uint64_t>& table) {
  string_view line;
  bool complete = true;
  read_result read;
  while ((read = next_file_line(c->file, line, complete)) == read_result::line) {
    file.push_back(line_hash(line, complete));
    c->file_complete = complete;
    if (c->file.number % interrupt_check_lines == 0 && sql_interrupted()) return interrupted(c);
  }
  if (read != read_result::end) return read_failure(c, read);
  int stepped;
  while ((stepped = next_table_line(c->table, line)) == SQLITE_ROW) {
    table.push_back(line_hash(line, true));
    if (c->table.number % interrupt_check_lines == 0 && sql_interrupted()) return interrupted(c);
  }
  return stepped == SQLITE_DONE ? SQLITE_OK : engine_failure(c, stepped);
}

// Compares the file that a save of the cursor's table would write with the
// text it would write, and starts reading both again for the rows.
int compare_with_file(changes_cursor* c) {
  string error;
  if (!start_table_lines(c->db, c->name, c->table, error)) {
    return fail(c, SQLITE_ERROR, error);
  }
  const seen_file* seen = find_seen_file(record_of_table(c->db, c->name.c_str()));
  const text_form form = seen != nullptr ? seen->form : text_form{};
  c->table.line_end = line_end_of(form);
  c->table.utf16 = form.encoding != text_encoding::utf8;
  if (!open_saved_file(c->name.c_str(), c->file.fd, error)) return fail(c, SQLITE_ERROR, error);
  if (!start_file_lines(c->file)) return SQLITE_NOMEM;
  std::vector<uint64_t> file, table;
  const int hashed = hash_lines(c, file, table);
  if (hashed != SQLITE_OK) return hashed;
  if (!find_line_changes(file.data(), static_cast<int64_t>(file.size()), table.data(),
                         static_cast<int64_t>(table.size()), c->context, c->changes,
                         sql_interrupted)) {
    return interrupted(c);
  }
  restart_table_lines(c->table);
  return start_file_lines(c->file) ? SQLITE_OK : SQLITE_NOMEM;
}

// Line `k` of the file (from 0), the lines before it passed over.
int file_line_at(changes_cursor* c, int64_t k, string_view& line) {
  bool complete = true;
  while (c->file.number <= k) {
    const read_result read = next_file_line(c->file, line, complete);
    if (read != read_result::line) return read_failure(c, read);
    if (c->file.number % interrupt_check_lines == 0 && sql_interrupted()) return interrupted(c);
  }
  return SQLITE_OK;
}

int table_line_at(changes_cursor* c, int64_t k, string_view& line) {
  while (c->table.number <= k) {
    const int stepped = next_table_line(c->table, line);
    if (stepped == SQLITE_DONE) return fail(c, SQLITE_ERROR, "changes: the table changed");
    if (stepped != SQLITE_ROW) return engine_failure(c, stepped);
    if (c->table.number % interrupt_check_lines == 0 && sql_interrupted()) return interrupted(c);
  }
  return SQLITE_OK;
}

// `-5,3`: where the hunk's lines begin and how many there are; one line is
// its number alone, and none is the number of the line before them.
void append_number(string& out, int64_t n) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
}

void append_range(string& out, int64_t begin, int64_t end) {
  if (end - begin == 1) return append_number(out, begin + 1);
  append_number(out, end == begin ? begin : begin + 1);
  out += ',';
  append_number(out, end - begin);
}

// The hunk's next line: its removed lines before its added ones, wherever
// both are, and the unchanged lines around them.
int next_hunk_line(changes_cursor* c) {
  const hunk& h = c->current;
  int result = SQLITE_OK;
  c->file_line = c->table_line = 0;
  if (c->i < h.a_end && is_removed(c->changes, c->i)) {
    c->change = '-';
    c->file_line = ++c->i;
    result = file_line_at(c, c->i - 1, c->text);
  } else if (c->j < h.b_end && is_added(c->changes, c->j)) {
    c->change = '+';
    c->table_line = ++c->j;
    result = table_line_at(c, c->j - 1, c->text);
  } else {
    c->change = ' ';
    c->file_line = ++c->i;
    c->table_line = ++c->j;
    result = file_line_at(c, c->i - 1, c->text);
  }
  c->no_newline_next =
      c->file_line == first_lines(c->changes) && c->file_line > 0 && !c->file_complete;
  return result;
}

int changes_next(sqlite3_vtab_cursor* base) {
  auto* c = reinterpret_cast<changes_cursor*>(base);
  ++c->rowid;
  if (c->no_newline_next) {
    c->no_newline_next = false;
    c->change = '\\';
    c->file_line = c->table_line = 0;
    c->text = "No newline at end of file";
    return SQLITE_OK;
  }
  if (c->i < c->current.a_end || c->j < c->current.b_end) return next_hunk_line(c);
  if (!next_hunk(c->changes, c->context, c->a_at, c->b_at, c->current)) {
    c->eof = true;
    return SQLITE_OK;
  }
  const hunk& h = c->current;
  c->i = h.a_begin;
  c->j = h.b_begin;
  c->change = '@';
  c->file_line = c->table_line = 0;
  // Appended, not built from literals and temporaries, which g++ 12 at -O3
  // warns of falsely.
  c->ranges.assign(1, '-');
  append_range(c->ranges, h.a_begin, h.a_end);
  c->ranges.push_back(' ');
  c->ranges.push_back('+');
  append_range(c->ranges, h.b_begin, h.b_end);
  c->text = c->ranges;
  return SQLITE_OK;
}

// The lines of context: a whole number, 0 or more.
bool read_context(sqlite3_value* value, int64_t& context) {
  if (sqlite3_value_numeric_type(value) != SQLITE_INTEGER) return false;
  context = sqlite3_value_int64(value);
  // Twice as many must still be a number.
  context = std::min<int64_t>(context, int64_t{1} << 60);
  return context >= 0;
}

int changes_filter(sqlite3_vtab_cursor* base, int, const char*, int argc, sqlite3_value** argv) {
  auto* c = reinterpret_cast<changes_cursor*>(base);
  c->eof = true;
  c->rowid = 0;
  c->a_at = c->b_at = c->i = c->j = 0;
  c->current = hunk{};
  c->no_newline_next = false;
  c->file_complete = true;
  if (c->file.fd >= 0) os_close(c->file.fd);
  c->file.fd = -1;
  for (int k = 0; k < argc; ++k) {
    if (sqlite3_value_type(argv[k]) == SQLITE_NULL) return SQLITE_OK;
  }
  const auto* name = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  if (name == nullptr) return SQLITE_NOMEM;
  c->name = name;
  c->context = 3;
  if (argc > 1 && !read_context(argv[1], c->context)) {
    return fail(c, SQLITE_ERROR, "changes: the lines of context must be a whole number, 0 or more");
  }
  const int compared = compare_with_file(c);
  if (compared != SQLITE_OK) return compared;
  c->eof = false;
  return changes_next(base);
}

int changes_connect(sqlite3* db, void*, int, const char* const*, sqlite3_vtab** out, char**) {
  const int declared = sqlite3_declare_vtab(
      db, "create table x(line, change, file_line, table_line, text, name hidden, context hidden)");
  if (declared != SQLITE_OK) return declared;
  auto* table = static_cast<changes_table*>(sqlite3_malloc(sizeof(changes_table)));
  if (table == nullptr) return SQLITE_NOMEM;
  *table = {};
  table->db = db;
  *out = &table->base;
  return SQLITE_OK;
}

int changes_disconnect(sqlite3_vtab* table) {
  sqlite3_free(table);
  return SQLITE_OK;
}

// The table's name is needed and the lines of context may follow. A plan
// that would read them before the row they come from is refused, so that
// the engine picks another.
int changes_best_index(sqlite3_vtab* base, sqlite3_index_info* info) {
  int argument[2] = {-1, -1};
  bool unusable = false;
  for (int k = 0; k < info->nConstraint; ++k) {
    const auto& constraint = info->aConstraint[k];
    if (constraint.iColumn < name_column || constraint.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
    if (constraint.usable) {
      argument[constraint.iColumn - name_column] = k;
    } else {
      unusable = true;
    }
  }
  if (unusable) return SQLITE_CONSTRAINT;
  if (argument[0] < 0) {
    sqlite3_free(base->zErrMsg);
    base->zErrMsg = sqlite3_mprintf("wrong number of arguments to function changes()");
    return SQLITE_ERROR;
  }
  for (int k = 0; k < 2 && argument[k] >= 0; ++k) {
    info->aConstraintUsage[argument[k]].argvIndex = k + 1;
    info->aConstraintUsage[argument[k]].omit = 1;
  }
  info->estimatedCost = 1000000;
  info->estimatedRows = 100;
  return SQLITE_OK;
}

int changes_open(sqlite3_vtab* base, sqlite3_vtab_cursor** out) {
  void* memory = sqlite3_malloc(sizeof(changes_cursor));
  if (memory == nullptr) return SQLITE_NOMEM;
  auto* cursor = new (memory) changes_cursor{};
  cursor->db = reinterpret_cast<changes_table*>(base)->db;
  *out = &cursor->base;
  return SQLITE_OK;
}

int changes_close(sqlite3_vtab_cursor* base) {
  auto* cursor = reinterpret_cast<changes_cursor*>(base);
  if (cursor->file.fd >= 0) os_close(cursor->file.fd);
  sqlite3_finalize(cursor->table.rows);
  cursor->~changes_cursor();
  sqlite3_free(cursor);
  return SQLITE_OK;
}

int changes_eof(sqlite3_vtab_cursor* base) {
  return reinterpret_cast<changes_cursor*>(base)->eof;
}

void set_line_number(sqlite3_context* context, int64_t number) {
  if (number > 0) sqlite3_result_int64(context, number);
}

// The line as a unified difference shows it.
string line_of(const changes_cursor* c) {
  if (c->change == '@') return "@@ " + string(c->text) + " @@";
  if (c->change == '\\') return "\\ " + string(c->text);
  return c->change + string(c->text);
}

int changes_column(sqlite3_vtab_cursor* base, sqlite3_context* context, int column) {
  auto* c = reinterpret_cast<changes_cursor*>(base);
  switch (column) {
    case line_column:
      set_text_result(context, line_of(c));
      break;
    case change_column:
      set_text_result(context, string_view(&c->change, 1));
      break;
    case file_line_column:
      set_line_number(context, c->file_line);
      break;
    case table_line_column:
      set_line_number(context, c->table_line);
      break;
    case text_column:
      set_text_result(context, c->text);
      break;
    case name_column:
      set_text_result(context, c->name);
      break;
    default:
      sqlite3_result_int64(context, c->context);
  }
  return SQLITE_OK;
}

int changes_rowid(sqlite3_vtab_cursor* base, sqlite3_int64* rowid) {
  *rowid = reinterpret_cast<changes_cursor*>(base)->rowid;
  return SQLITE_OK;
}

// No create statement: the module serves only as the table of its own name.
constexpr sqlite3_module changes_module = [] {
  sqlite3_module module = {};
  module.xConnect = changes_connect;
  module.xBestIndex = changes_best_index;
  module.xDisconnect = changes_disconnect;
  module.xOpen = changes_open;
  module.xClose = changes_close;
  module.xFilter = changes_filter;
  module.xNext = changes_next;
  module.xEof = changes_eof;
  module.xColumn = changes_column;
  module.xRowid = changes_rowid;
  return module;
}();

}  // namespace

bool register_changes_table(sqlite3* db) {
  return add_sql_module(db, "changes", &changes_module, nullptr);
}
