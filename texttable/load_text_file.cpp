#include "os/os.h"
#include "shell/shell.h"
#include "texttable/cut_short_saves.h"
#include "texttable/line_reader.h"
#include "texttable/progress.h"
#include "texttable/seen_files.h"
#include "texttable/texttable.h"
#include "texttable/unsaved_edits.h"

namespace {

// Inserts every line of the file open as `fd` until its end; false, after
// saying why, at a refused insert, a line too long to store, a read error or
// a Ctrl-C. `read` gets the size and hash of what was read, and whether a
// line lost text at a zero byte.
bool insert_lines(int fd, const char* name, int64_t size, seen_file& read) {
  engine_string prefix =
      own(sqlite3_mprintf("insert into `%q` (data) values ('", double_backticks(name).c_str()));
  if (!prefix) return run_statement(nullptr);
  line_reader reader = make_line_reader(fd, sqlite3_limit(scratch_db, SQLITE_LIMIT_LENGTH, -1));
  begin_load_progress(name, &reader.hash.size, size);
  for (;;) {
    const char* text = nullptr;
    switch (read_stored_line(reader, text)) {
      case line_status::line:
        break;
      case line_status::end:
        read.cut_at_zero = reader.cut_at_zero;
        read.size = reader.hash.size;
        read.hash = content_hash_value(reader.hash);
        read.hashed = true;
        read.form = reader.text.form;
        return true;
      case line_status::interrupted:
        print_error("SQL error: %s\n", sqlite3_errstr(SQLITE_INTERRUPT));
        return false;
      case line_status::failed:
        print_error("Can't read %s\n", name);
        return false;
      case line_status::too_long:
        // What the engine would answer for the insert, without first reading
        // all of the line into memory.
        print_error("SQL error: %s\n", sqlite3_errstr(SQLITE_TOOBIG));
        return false;
      case line_status::no_memory:
        return run_statement(nullptr);
    }
    engine_string insert = own(sqlite3_mprintf("%s%q')", prefix.get(), text));
    if (!run_statement(insert.get())) return false;
    count_loaded_line();
  }
}

// A load runs in a transaction of its own, or, inside one the user opened, in
// a savepoint of its own, so that it can be undone alone.
struct load_steps {
  const char* start;
  const char* finish;
  const char* undo;
};

const load_steps own_transaction = {"begin", "commit", "rollback"};
const load_steps in_users_transaction = {"savepoint plinth_load", "release plinth_load",
                                         "rollback to plinth_load; release plinth_load"};

// Undoes the load, unless the engine already ended the transaction. Silent:
// what made it fail has been reported.
void undo_load(const load_steps& steps) {
  if (!sqlite3_get_autocommit(scratch_db)) {
    sqlite3_exec(scratch_db, steps.undo, nullptr, nullptr, nullptr);
  }
}

// Creates the table and fills it inside the load's transaction or savepoint;
// false, with the load undone, when any step fails.
bool load_lines(int fd, const char* name, int64_t size, const load_steps& steps, seen_file& read) {
  engine_string create = text_table_statement(name);
  if (!run_statement(steps.start)) return false;
  bool loaded = run_statement(create.get());
  if (loaded) {
    follow_statements(false);
    loaded = insert_lines(fd, name, size, read);
    follow_statements(true);
    end_load_progress();
  }
  loaded = loaded && run_statement(steps.finish);
  if (!loaded) undo_load(steps);
  if (loaded) note_table_made(name);
  return loaded;
}

}  // namespace

void load_text_file(const char* name) {
  file_status status;
  const int fd = os_open_to_read(name, status);
  if (fd < 0) {
    print_error("Can't open %s\n", name);
    return;
  }
  const bool regular = status.type == file_type::regular;
  if (regular) report_cut_short_saves(name);
  // One transaction for the whole file: a commit per row would cost a journal
  // write per line. It holds the create too, so a load that does not finish
  // (a failed read, a refused insert or commit, a Ctrl-C, a kill) leaves no
  // table, whose save would write a part of the file over all of it.
  const bool users_transaction = sqlite3_get_autocommit(scratch_db) == 0;
  seen_file read = seen_as(name, status);
  if (load_lines(fd, name, regular ? status.size : -1,
                 users_transaction ? in_users_transaction : own_transaction, read) &&
      regular) {
    forget_seen_file(name);
    remember_seen_file(name, read);
  }
  os_close(fd);
}
