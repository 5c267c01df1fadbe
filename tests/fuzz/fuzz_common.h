// What every fuzz target shares: quiet standard streams and a scratch
// database in memory that no input can make slow, huge or reach outside.
#pragma once

#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "extensions/extensions.h"
#include "shell/shell.h"
#include "texttable/unsaved_edits.h"

// Output and messages go nowhere; the fuzzer's own reports keep the real
// standard error, which it took before this runs.
inline void quiet_standard_streams() {
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  FILE* null_err = fopen("/dev/null", "w");
  if (null_err == nullptr) abort();
  stderr = null_err;
}

// A fresh working directory for the files an input makes, removed at exit.
inline void enter_fresh_directory(const char* file_made) {
  static char dir[] = "/tmp/plinth-fuzz-XXXXXX";
  static const char* made = file_made;
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) abort();
  atexit([] {
    if (made != nullptr) unlink(made);
    if (chdir("/") == 0) rmdir(dir);
  });
}

inline int stop_long_statement(void*) {
  return 1;
}

inline void open_scratch_db() {
  if (sqlite3_open(":memory:", &scratch_db) != SQLITE_OK) abort();
  // No other database can be attached (nor a file written with VACUUM INTO),
  // no value can grow past a megabyte, no statement run for long.
  sqlite3_limit(scratch_db, SQLITE_LIMIT_ATTACHED, 0);
  sqlite3_limit(scratch_db, SQLITE_LIMIT_LENGTH, 1 << 20);
  sqlite3_progress_handler(scratch_db, 1 << 20, stop_long_statement, nullptr);
  if (!add_sql_extensions(scratch_db)) abort();
  watch_table_edits(scratch_db);
}

inline void close_scratch_db() {
  // A statement left unfinished would make this fail.
  if (sqlite3_close(scratch_db) != SQLITE_OK) abort();
  scratch_db = nullptr;
}
