#include "texttable/unsaved_edits.h"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

struct watched_table {
  std::string name;             // as it was loaded, made or first saved
  std::string stored;           // as the engine holds it: its quotes doubled
  bool edited = false;          // rows changed since its last load or save
  bool in_transaction = false;  // rows changed in the transaction under way
  // Made, or dropped, in the transaction under way: a rollback undoes that.
  bool made_in_transaction = false;
  bool dropped_in_transaction = false;
};

sqlite3* watched_db = nullptr;
// In the order the tables were loaded or made. A run holds some hundreds of
// tables at most, and a table is looked up here once a statement or a load,
// not once a row (see below): a search through them is cheap.
std::vector<watched_table> watched;
bool changed_in_transaction = false;
bool schema_changed_in_transaction = false;

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

// Called for every row inserted, updated or deleted, the load's own included.
void note_row_change(void*, int, const char* database, const char* table, sqlite3_int64) {
  if (table != row_table || database != row_database) {
    row_table = table;
    row_database = database;
    row_place = place_of_row(database, table);
  }
  if (row_place == none) return;
  watched[row_place].edited = true;
  watched[row_place].in_transaction = true;
  changed_in_transaction = true;
}

int note_commit(void*) {
  if (changed_in_transaction) {
    for (watched_table& w : watched) w.in_transaction = false;
    changed_in_transaction = false;
  }
  if (schema_changed_in_transaction) {
    // A table made again by SQL after its drop is scratch work.
    std::erase_if(watched, [](const watched_table& w) { return w.dropped_in_transaction; });
    for (watched_table& w : watched) w.made_in_transaction = false;
    schema_changed_in_transaction = false;
    forget_last_table();
  }
  return 0;  // the commit goes ahead
}

// A rollback leaves unsaved what was edited, and takes a table that was saved
// within the transaction back to rows other than those the save wrote.
void note_rollback(void*) {
  if (schema_changed_in_transaction) {
    // A load or `new` undone left no table of its own; a drop undone, the
    // watched table as it was.
    std::erase_if(watched, [](const watched_table& w) { return w.made_in_transaction; });
    for (watched_table& w : watched) w.dropped_in_transaction = false;
    schema_changed_in_transaction = false;
    forget_last_table();
  }
  if (!changed_in_transaction) return;
  for (watched_table& w : watched) {
    if (w.in_transaction) w.edited = true;
    w.in_transaction = false;
  }
  changed_in_transaction = false;
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

// A `delete` without `where` empties a table at once, unseen by the update
// hook; told to ignore the delete, the engine deletes the rows one by one
// instead. Only for watched tables: a scratch table is emptied the fast way.
// A drop asks about deleting the table's rows right after the drop itself,
// and would be skipped without a word if that were ignored.
int authorize(void*, int action, const char* table, const char*, const char* database,
              const char*) {
  static int previous_action = 0;
  row_table = nullptr;
  const bool after_drop = is_drop(previous_action);
  previous_action = action;
  if (action == SQLITE_DROP_TABLE && table != nullptr && in_main(database)) {
    const size_t place = place_of(table);
    if (place != none) {
      watched[place].dropped_in_transaction = true;
      schema_changed_in_transaction = true;
    }
  }
  if (action == SQLITE_DELETE && !after_drop && table != nullptr && in_main(database) &&
      place_of(table) != none) {
    return SQLITE_IGNORE;
  }
  return SQLITE_OK;
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
  return w;
}

// Whether the table is still there; true when the engine can't tell.
bool still_there(sqlite3_stmt* lookup, const std::string& name) {
  if (lookup == nullptr ||
      sqlite3_bind_text(lookup, 1, name.c_str(), -1, SQLITE_STATIC) != SQLITE_OK) {
    return true;
  }
  const int found = sqlite3_step(lookup);
  sqlite3_reset(lookup);
  return found != SQLITE_DONE;
}

}  // namespace

void watch_table_edits(sqlite3* db) {
  watched_db = db;
  watched.clear();
  changed_in_transaction = false;
  forget_last_table();
  sqlite3_update_hook(db, note_row_change, nullptr);
  sqlite3_commit_hook(db, note_commit, nullptr);
  sqlite3_rollback_hook(db, note_rollback, nullptr);
  sqlite3_set_authorizer(db, authorize, nullptr);
}

void note_table_made(const char* table) {
  watched_table made = watched_table_named(table);
  const size_t place = place_of(made.stored.c_str());
  if (place != none) watched.erase(watched.begin() + static_cast<ptrdiff_t>(place));
  watched.push_back(std::move(made));
  if (watched_db != nullptr && !sqlite3_get_autocommit(watched_db)) {
    watched.back().made_in_transaction = true;
    schema_changed_in_transaction = true;
  }
  forget_last_table();
}

void note_table_saved(const char* table, bool kept) {
  watched_table saved = watched_table_named(table);
  const size_t place = place_of(saved.stored.c_str());
  if (place != none) {
    watched[place].edited = false;
  } else if (kept) {
    watched.push_back(std::move(saved));
    forget_last_table();
  }
}

std::string unsaved_table_names() {
  sqlite3_stmt* raw = nullptr;
  if (watched_db == nullptr ||
      sqlite3_prepare_v2(watched_db,
                         "select 1 from main.sqlite_master where type = 'table' and name = ?1 "
                         "collate nocase",
                         -1, &raw, nullptr) != SQLITE_OK) {
    raw = nullptr;
  }
  std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> lookup(raw, &sqlite3_finalize);
  std::string names;
  for (auto w = watched.begin(); w != watched.end();) {
    if (!still_there(lookup.get(), w->stored)) {
      w = watched.erase(w);
      continue;
    }
    if (w->edited) names += (names.empty() ? "" : ", ") + w->name;
    ++w;
  }
  forget_last_table();
  return names;
}
