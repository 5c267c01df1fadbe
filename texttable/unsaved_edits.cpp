#include "texttable/unsaved_edits.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "shell/shell.h"
#include "texttable/second_names.h"
#include "texttable/seen_files.h"
#include "texttable/texttable.h"

namespace {

struct watched_table {
  std::string name;     // as it was loaded, made or first saved
  std::string stored;   // as the engine holds it: its quotes doubled
  bool edited = false;  // rows changed since its last load or save
  uint64_t id = 0;      // this table, not another made since under its name
  // The statement and the undo level that last noted a change of its rows:
  // each notes it once.
  uint64_t statement_mark = 0;
  uint64_t level_mark = 0;
};

// What a rollback undoes: a table made (a load or `new`), or one that went
// (dropped or renamed away), taking what this run saw of its file with it.
struct undo_step {
  bool made = false;
  std::string typed;  // the seen file's key
  std::string stored;
  std::optional<watched_table> went;  // the watched table that went, and its place
  size_t place = 0;
  std::optional<seen_file> seen;  // what was seen of its file before the step
};

// The transaction under way, then each savepoint open in it.
struct undo_level {
  std::string savepoint;          // its name; empty for the transaction
  uint64_t serial = 0;            // this level, not another opened since
  std::vector<uint64_t> changed;  // watched tables whose rows changed here
  std::vector<undo_step> steps;
};

// What a statement does besides changing rows, as the authorizer saw it
// compiled.
enum class act { goes, alters, savepoint, release, rollback_to };
struct action {
  act kind;
  std::string name;  // the table, as stored, or the savepoint
};

// One not running nor ended holds nothing: a load runs a million of them,
// and they pass their records on by swapping.
struct statement {
  const void* handle = nullptr;  // the engine's, while it runs
  uint64_t serial = 0;
  std::vector<action> actions;
  std::vector<uint64_t> changed;  // watched tables whose rows it changed
  // The engine's count of rows changed as it started: one that failed
  // within a transaction put back the rows it changed, which leave the
  // count as it was; those its triggers changed, once it ends, count.
  sqlite3_int64 changes_before = 0;
};

sqlite3* watched_db = nullptr;
// In the order the tables were loaded or made. A run holds some hundreds of
// tables at most, and a table is looked up here once a statement or a load,
// not once a row (see below): a search through them is cheap.
std::vector<watched_table> watched;
std::vector<undo_level> levels;  // never empty
uint64_t serials = 0;
std::vector<action> compiled;  // for the statement being compiled
statement running;
statement ended;  // the last to run to its end, until the next starts or settle
bool has_ended = false;
std::string refusal;

constexpr size_t none = static_cast<size_t>(-1);

// The place in `watched` of the table of the last row changed, or none: a
// statement changes the rows of one table after another, so that the next
// row's table is nearly always that one again. It is known by the name, until
// `watched` changes, and within a statement by the engine's own pointers to
// the names of the table and its database: every statement is compiled
// before it runs, and the authorizer forgets them then, before a name could
// be freed and its memory given to another.
std::string last_table;
size_t last_place = none;
bool last_known = false;
const char* row_database = nullptr;
const char* row_table = nullptr;
size_t row_place = none;

void forget_last_table() {
  last_known = false;
  row_table = nullptr;
}

size_t place_of(const char* table) {
  for (size_t i = 0; i < watched.size(); ++i) {
    if (sqlite3_stricmp(watched[i].stored.c_str(), table) == 0) return i;
  }
  return none;
}

watched_table* table_of(uint64_t id) {
  for (watched_table& w : watched) {
    if (w.id == id) return &w;
  }
  return nullptr;
}

// Tables of the same name in an attached or temporary database are others.
bool in_main(const char* database) {
  return database != nullptr && strcmp(database, "main") == 0;
}

size_t place_of_row(const char* database, const char* table) {
  if (!in_main(database)) return none;
  if (!last_known || last_table != table) {
    last_table.assign(table);
    last_place = place_of(table);
    last_known = true;
  }
  return last_place;
}

// A typed name goes into plinth's statements through "%q", which doubles
// its single quotes: the table's own name holds them twice.
watched_table watched_table_named(const char* typed) {
  watched_table w;
  w.name = typed;
  for (const char* c = typed; *c != '\0'; ++c) {
    w.stored += *c;
    if (*c == '\'') w.stored += '\'';
  }
  w.id = ++serials;
  return w;
}

void note_level_change(watched_table& w) {
  undo_level& top = levels.back();
  if (w.level_mark == top.serial) return;
  w.level_mark = top.serial;
  top.changed.push_back(w.id);
}

void mark_edited(watched_table* w) {
  if (w == nullptr) return;
  w->edited = true;
  note_level_change(*w);
}

void empty_level(undo_level& level) {
  level.changed.clear();
  level.steps.clear();
  level.serial = ++serials;
}

void reset_levels() {
  levels.resize(1);
  empty_level(levels[0]);
}

void undo(const undo_step& step) {
  if (step.made) {
    const size_t place = place_of(step.stored.c_str());
    if (place != none) watched.erase(watched.begin() + static_cast<ptrdiff_t>(place));
  } else if (step.went) {
    const size_t place = std::min(step.place, watched.size());
    watched.insert(watched.begin() + static_cast<ptrdiff_t>(place), *step.went);
  }
  if (step.seen) {
    remember_seen_file(step.typed, *step.seen);
  } else {
    forget_seen_file(step.typed);
  }
  forget_last_table();
}

// Undone, the rows changed here are no longer what was loaded, nor what a
// save since wrote: edited, committed or not. The level stays, emptied.
void undo(undo_level& level) {
  for (auto step = level.steps.rbegin(); step != level.steps.rend(); ++step) undo(*step);
  for (uint64_t id : level.changed) {
    if (watched_table* w = table_of(id)) w->edited = true;
  }
  empty_level(level);
}

// A table dropped or renamed away: what a save of a table made again under
// its name would write over is nothing it holds.
void table_went(const std::string& stored) {
  undo_step step;
  step.stored = stored;
  const size_t place = place_of(stored.c_str());
  if (place != none) {
    step.typed = watched[place].name;
    step.went = std::move(watched[place]);
    step.place = place;
    watched.erase(watched.begin() + static_cast<ptrdiff_t>(place));
    forget_last_table();
  } else if (!typed_table_name(stored, step.typed)) {
    return;
  }
  if (const seen_file* seen = find_seen_file(step.typed)) step.seen = *seen;
  if (!step.went && !step.seen) return;
  forget_seen_file(step.typed);
  levels.back().steps.push_back(std::move(step));
}

// The open level of that name, the innermost; 0 when none.
size_t level_named(const std::string& savepoint) {
  for (size_t i = levels.size(); i-- > 1;) {
    if (sqlite3_stricmp(levels[i].savepoint.c_str(), savepoint.c_str()) == 0) return i;
  }
  return 0;
}

void release(const std::string& savepoint) {
  const size_t at = level_named(savepoint);
  if (at == 0) return;
  undo_level& below = levels[at - 1];
  for (size_t i = at; i < levels.size(); ++i) {
    below.changed.insert(below.changed.end(), levels[i].changed.begin(), levels[i].changed.end());
    for (undo_step& step : levels[i].steps) below.steps.push_back(std::move(step));
  }
  levels.resize(at);
}

void rollback_to(const std::string& savepoint) {
  const size_t at = level_named(savepoint);
  if (at == 0) return;
  for (size_t i = levels.size(); i-- > at;) undo(levels[i]);
  levels.resize(at + 1);
}

void apply(const action& a) {
  switch (a.kind) {
    case act::goes:
      table_went(a.name);
      break;
    case act::alters: {
      const size_t place = place_of(a.name.c_str());
      if (place != none) mark_edited(&watched[place]);
      break;
    }
    case act::savepoint:
      levels.push_back({a.name, ++serials, {}, {}});
      break;
    case act::release:
      release(a.name);
      break;
    case act::rollback_to:
      rollback_to(a.name);
      break;
  }
}

void clear(statement& s) {
  s.handle = nullptr;
  s.actions.clear();
  s.changed.clear();
}

// The statement ran to its end: what it did counts.
void confirm(statement& s) {
  for (uint64_t id : s.changed) mark_edited(table_of(id));
  for (const action& a : s.actions) apply(a);
  clear(s);
}

void confirm_ended() {
  if (!has_ended) return;
  has_ended = false;
  if (ended.changed.empty() && ended.actions.empty()) {
    ended.handle = nullptr;  // nearly every statement: nothing to count
    return;
  }
  confirm(ended);
}

// Called for every row inserted, updated or deleted, the load's own included.
void note_row_change(void*, int, const char* database, const char* table, sqlite3_int64) {
  if (table != row_table || database != row_database) {
    row_table = table;
    row_database = database;
    row_place = place_of_row(database, table);
  }
  if (row_place == none) return;
  watched_table& w = watched[row_place];
  if (running.handle == nullptr) {
    mark_edited(&w);
  } else if (w.statement_mark != running.serial) {
    w.statement_mark = running.serial;
    running.changed.push_back(w.id);
  }
}

// A statement starts and ends. A trigger's program, and a statement run from
// within another, are part of that one. An `explain` runs nothing: it ends
// without having started.
int note_statement(unsigned event, void*, void* handle, void*) {
  if (event == SQLITE_TRACE_STMT) {
    if (running.handle != nullptr) return 0;
    confirm_ended();  // the next one starts: that one ran to its end
    refusal.clear();
    running.handle = handle;
    running.serial = ++serials;
    running.changes_before = sqlite3_total_changes64(watched_db);
    if (!compiled.empty()) running.actions.swap(compiled);
  } else if (handle == running.handle) {
    if (sqlite3_total_changes64(watched_db) == running.changes_before) running.changed.clear();
    ended.handle = handle;
    ended.actions.swap(running.actions);
    ended.changed.swap(running.changed);
    running.handle = nullptr;
    has_ended = true;
  } else if (sqlite3_stmt_isexplain(static_cast<sqlite3_stmt*>(handle))) {
    compiled.clear();
  }
  return 0;
}

int note_commit(void*) {
  confirm_ended();
  if (running.handle != nullptr) confirm(running);  // it commits: it ran
  reset_levels();
  return 0;  // the commit goes ahead
}

// A rollback leaves unsaved what was edited, and takes a table that was saved
// within the transaction back to rows other than those the save wrote. The
// statement under way, when one fails, changed nothing.
void note_rollback(void*) {
  confirm_ended();
  clear(running);
  for (size_t i = levels.size(); i-- > 0;) undo(levels[i]);
  reset_levels();
}

bool is_drop(int action) {
  switch (action) {
    case SQLITE_DROP_TABLE:
    case SQLITE_DROP_TEMP_TABLE:
    case SQLITE_DROP_VIEW:
    case SQLITE_DROP_TEMP_VIEW:
    case SQLITE_DROP_VTABLE:
      return true;
    default:
      return false;
  }
}

// Renaming a table rewrites which table each schema entry belongs to; the
// alter of a column rewrites only the table's statement.
bool renames_table(const char* table, const char* column, const char* database) {
  return !compiled.empty() && compiled.back().kind == act::alters && in_main(database) &&
         table != nullptr && strcmp(table, "sqlite_master") == 0 && column != nullptr &&
         strcmp(column, "tbl_name") == 0;
}

void note_savepoint(const char* operation, const char* name) {
  if (operation == nullptr || name == nullptr) return;
  const act kind = strcmp(operation, "BEGIN") == 0     ? act::savepoint
                   : strcmp(operation, "RELEASE") == 0 ? act::release
                                                       : act::rollback_to;
  compiled.push_back({kind, name});
}

// Notes what each statement does as it is compiled: an alter, drop or rename
// of a table, a savepoint. Refuses a second name of the scratch database.
// A `delete` without `where` empties a table at once, unseen by the update
// hook; told to ignore the delete, the engine deletes the rows one by one
// instead. Only for watched tables: a scratch table is emptied the fast way.
// A drop asks about deleting the table's rows right after the drop itself,
// and would be skipped without a word if that were ignored.
int authorize(void*, int action, const char* first, const char* second, const char* database,
              const char*) {
  static int previous_action = 0;
  row_table = nullptr;
  const bool after_drop = is_drop(previous_action);
  previous_action = action;
  if (!in_main(database) &&
      (action == SQLITE_ATTACH
           ? names_main_file(watched_db, first)
           : is_second_name(watched_db, action == SQLITE_ALTER_TABLE ? first : database))) {
    refusal = std::string(scratch_db_name) + second_name_refusal;
    return SQLITE_DENY;
  }
  switch (action) {
    case SQLITE_DROP_TABLE:
    case SQLITE_DROP_VIEW:
    case SQLITE_DROP_VTABLE:
      if (first != nullptr && in_main(database)) compiled.push_back({act::goes, first});
      break;
    case SQLITE_ALTER_TABLE:
      if (second != nullptr && in_main(first)) compiled.push_back({act::alters, second});
      break;
    case SQLITE_UPDATE:
      if (renames_table(first, second, database)) compiled.back().kind = act::goes;
      break;
    case SQLITE_SAVEPOINT:
      note_savepoint(first, second);
      break;
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
      forget_schema_names();
      break;
    case SQLITE_DELETE:
      if (!after_drop && first != nullptr && in_main(database) && place_of(first) != none) {
        return SQLITE_IGNORE;
      }
      break;
    default:
      break;
  }
  return SQLITE_OK;
}

// The names of the scratch database's tables, or of its tables and views
// named `only`;
// false when the engine can't tell.
bool table_names(const char* only, std::vector<std::string>& names) {
  engine_string query =
      own(only == nullptr
              ? sqlite3_mprintf("select name from main.sqlite_master where type = 'table'")
              : sqlite3_mprintf("select name from main.sqlite_master where type in ('table', "
                                "'view') and name = %Q collate nocase",
                                only));
  char** raw = nullptr;
  int rows = 0;
  int columns = 0;
  if (!query ||
      sqlite3_get_table(watched_db, query.get(), &raw, &rows, &columns, nullptr) != SQLITE_OK) {
    return false;
  }
  for (int r = 1; r <= rows; ++r) names.emplace_back(raw[r] != nullptr ? raw[r] : "");
  sqlite3_free_table(raw);
  return true;
}

// A drop or rename whose table is still there was refused part-way. One the
// engine can't tell about counts as done: a save over the table's file is
// then refused once, rather than let through.
bool refused_part_way(const statement& s) {
  for (const action& a : s.actions) {
    std::vector<std::string> found;
    if (a.kind == act::goes && table_names(a.name.c_str(), found) && !found.empty()) return true;
  }
  return false;
}

void settle() {
  compiled.clear();  // compiled, never run: refused as it compiled
  if (has_ended) {
    statement last;
    std::swap(last, ended);
    has_ended = false;
    if (!refused_part_way(last)) confirm(last);
  }
  // Outside a transaction there is nothing to undo.
  if (watched_db != nullptr && sqlite3_get_autocommit(watched_db)) reset_levels();
}

}  // namespace

void watch_table_edits(sqlite3* db) {
  watched_db = db;
  watched.clear();
  levels.assign(1, undo_level());
  reset_levels();
  compiled.clear();
  clear(running);
  clear(ended);
  has_ended = false;
  refusal.clear();
  forget_schema_names();
  forget_last_table();
  sqlite3_update_hook(db, note_row_change, nullptr);
  sqlite3_commit_hook(db, note_commit, nullptr);
  sqlite3_rollback_hook(db, note_rollback, nullptr);
  follow_statements(true);
  sqlite3_set_authorizer(db, authorize, nullptr);
}

void follow_statements(bool follow) {
  if (watched_db == nullptr) return;
  sqlite3_trace_v2(watched_db, follow ? SQLITE_TRACE_STMT | SQLITE_TRACE_PROFILE : 0,
                   follow ? note_statement : nullptr, nullptr);
}

void note_table_made(const char* table) {
  settle();
  watched_table made = watched_table_named(table);
  const size_t place = place_of(made.stored.c_str());
  if (place != none) watched.erase(watched.begin() + static_cast<ptrdiff_t>(place));
  if (watched_db != nullptr && !sqlite3_get_autocommit(watched_db)) {
    undo_step step;
    step.made = true;
    step.typed = made.name;
    step.stored = made.stored;
    if (const seen_file* seen = find_seen_file(made.name)) step.seen = *seen;
    levels.back().steps.push_back(std::move(step));
  }
  watched.push_back(std::move(made));
  forget_last_table();
}

void note_table_saved(const char* table, bool kept) {
  settle();
  watched_table saved = watched_table_named(table);
  const size_t place = place_of(saved.stored.c_str());
  if (place != none) {
    watched[place].edited = false;
  } else if (kept) {
    watched.push_back(std::move(saved));
    forget_last_table();
  }
}

std::string settle_table_edits() {
  settle();
  return std::exchange(refusal, std::string());
}

std::string unsaved_table_names() {
  settle();
  std::vector<std::string> tables;
  const bool listed = table_names(nullptr, tables);
  std::string names;
  for (auto w = watched.begin(); w != watched.end();) {
    const bool there =
        !listed || std::any_of(tables.begin(), tables.end(), [&w](const std::string& t) {
          return sqlite3_stricmp(t.c_str(), w->stored.c_str()) == 0;
        });
    if (!there) {
      w = watched.erase(w);
      continue;
    }
    if (w->edited) names += (names.empty() ? "" : ", ") + w->name;
    ++w;
  }
  forget_last_table();
  return names;
}
