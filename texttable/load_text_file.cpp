#include <sys/stat.h>

#include <cstdio>

#include "shell/shell.h"
#include "texttable/line_reader.h"
#include "texttable/progress.h"
#include "texttable/texttable.h"

namespace {

// Opens `name` for reading, refusing directories: reading one fails only later,
// after the table would have been created.
FILE* open_for_reading(const char* name) {
  FILE* file = fopen(name, "r");
  if (file == nullptr) return nullptr;
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode)) {
    fclose(file);
    return nullptr;
  }
  return file;
}

// Inserts every line of `file` until the end, a refused insert, a line too
// long to store, a read error or a Ctrl-C; false after the Ctrl-C. The file is
// read through its descriptor alone, so its stream's position is how far the
// reading has come.
bool insert_lines(FILE* file, const char* name) {
  engine_string prefix =
      own(sqlite3_mprintf("insert into `%q` (data) values ('", double_backticks(name).c_str()));
  if (!prefix) {
    run_statement(nullptr);
    return true;
  }
  line_reader reader =
      make_line_reader(fileno(file), sqlite3_limit(scratch_db, SQLITE_LIMIT_LENGTH, -1));
  for (;;) {
    const char* text = nullptr;
    switch (read_stored_line(reader, text)) {
      case line_status::line:
        break;
      case line_status::end:
        return true;
      case line_status::interrupted:
        return false;
      case line_status::failed:
        print_error("Can't read %s\n", name);
        return true;
      case line_status::too_long:
        // What the engine would answer for the insert, without first reading
        // all of the line into memory.
        print_error("SQL error: %s\n", sqlite3_errstr(SQLITE_TOOBIG));
        return true;
      case line_status::no_memory:
        run_statement(nullptr);
        return true;
    }
    engine_string insert = own(sqlite3_mprintf("%s%q')", prefix.get(), text));
    if (!run_statement(insert.get())) return true;
    count_loaded_line();
  }
}

// Undoes the load's own transaction, unless the engine already has. Silent:
// what made it fail has been reported.
void undo_load() {
  if (!sqlite3_get_autocommit(scratch_db)) {
    sqlite3_exec(scratch_db, "rollback", nullptr, nullptr, nullptr);
  }
}

}  // namespace

void load_text_file(const char* name) {
  FILE* file = open_for_reading(name);
  if (file == nullptr) {
    print_error("Can't open %s\n", name);
    return;
  }
  engine_string create = text_table_statement(name);
  // One transaction for the whole file: a commit per row would cost a journal
  // write per line. It holds the create too, so a load that does not finish
  // (the engine rolls it back, the run is killed, the commit is refused)
  // leaves no table, whose save would write a part of the file over all of
  // it. Inside a transaction of the user's the load's begin is refused,
  // nothing is read, and the commit ends the user's transaction.
  const bool own_transaction = sqlite3_get_autocommit(scratch_db) != 0;
  bool reading = false;
  if (own_transaction) {
    reading = run_statement("begin");
    if (reading && !run_statement(create.get())) {
      undo_load();
      fclose(file);
      return;
    }
  } else {
    if (!run_statement(create.get())) {
      fclose(file);
      return;
    }
    reading = run_statement("begin");
  }
  bool interrupted = false;
  if (reading) {
    begin_load_progress(name, file);
    interrupted = !insert_lines(file, name);
    end_load_progress();
  }
  if (interrupted) {
    print_error("SQL error: %s\n", sqlite3_errstr(SQLITE_INTERRUPT));
    undo_load();
  } else if (!run_statement("commit") && own_transaction) {
    undo_load();
  }
  fclose(file);
}
