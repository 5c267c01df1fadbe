// The scratch database: the run's one engine connection, on a file of the
// current directory taken for this run alone (scratch_file.cpp), through the
// gate that every file the engine keeps beside it passes (scratch_vfs.cpp).
#include <string>

#include "os/os.h"
#include "shell/scratch_file.h"
#include "shell/shell.h"
#include "texttable/seen_files.h"
#include "texttable/texttable.h"
#include "texttable/unsaved_edits.h"

namespace {

bool settings_pending = true;

// Says which tables a scratch database left by a run that did not end holds,
// in the order they were made, and marks them: their rows are not what the
// files now hold, which a save would otherwise write over. They are watched
// for edits like loaded tables: quitting drops the rows they hold.
void report_leftover_tables() {
  char** raw = nullptr;
  int rows = 0;
  int columns = 0;
  if (sqlite3_get_table(scratch_db,
                        "select name from sqlite_master where type = 'table' and "
                        "name not like 'sqlite\\_%' escape '\\' order by rowid",
                        &raw, &rows, &columns, nullptr) != SQLITE_OK) {
    return;
  }
  std::string names;
  for (int r = 1; r <= rows; ++r) {
    const char* name = raw[r] != nullptr ? raw[r] : "";
    names += (r > 1 ? ", " : "") + std::string(name);
    // Kept by the name a save is typed with; a name that none gives is not
    // one a save can reach.
    std::string typed;
    if (!typed_table_name(name, typed)) continue;
    remember_leftover_table(typed);
    note_table_made(typed.c_str());
  }
  sqlite3_free_table(raw);
  if (rows > 0) {
    print_error("%s was left by a run that did not end; its tables are as that run left them: %s\n",
                scratch_db_name, names.c_str());
  }
}

}  // namespace

bool take_scratch_db() {
  std::string reason = std::string(scratch_db_name) + " keeps being removed";
  const char* vfs = scratch_vfs_name();
  for (int attempt = 0; attempt < 100 && vfs != nullptr; ++attempt) {
    scratch_handle file = no_scratch_file;
    bool created = false;
    scratch_found result = take_scratch_file(file, created, reason);
    if (result == scratch_found::vanished) continue;
    if (result == scratch_found::refused) break;
    int opened =
        sqlite3_open_v2(scratch_db_name, &scratch_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, vfs);
    // The journal's name is taken for a file of this user's for the whole
    // run, so that no other user can put one there between transactions.
    scratch_facts journal;
    if (opened != SQLITE_OK) {
      reason = sqlite3_errmsg(scratch_db);
    } else if (!scratch_file_still_named(file)) {
      reason = std::string(scratch_db_name) + " was replaced while it was opened";
    } else if (ready_side_file(scratch_journal_name, side_open::create, journal, reason)) {
      set_interruptible_engine(scratch_db);
      watch_table_edits(scratch_db);
      if (!created) report_leftover_tables();
      return true;
    }
    sqlite3_close(scratch_db);
    scratch_db = nullptr;
    os_let_go_scratch_file(created);
    break;
  }
  if (vfs == nullptr) reason = sqlite3_errstr(SQLITE_ERROR);
  print_error("Can't open database: %s\n", reason.c_str());
  return false;
}

void apply_engine_settings() {
  if (!settings_pending) return;
  // The file is removed at the end of the run, so durable commits buy
  // nothing; the journal still guards it against a crash of the process. The
  // journal is emptied, not removed, after each transaction, so that its name
  // stays taken by this user's file (see take_scratch_db). Refused while
  // another run holds the database locked: tried again before the next
  // command.
  settings_pending =
      sqlite3_exec(scratch_db, "PRAGMA synchronous=OFF; PRAGMA journal_mode=TRUNCATE", nullptr,
                   nullptr, nullptr) != SQLITE_OK;
}
