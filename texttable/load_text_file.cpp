#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell/shell.h"
#include "texttable/progress.h"
#include "texttable/texttable.h"

namespace {

// The stored text of one line: it ends at a zero byte, then loses its
// trailing run of CR and LF characters.
size_t stored_length(const char* line, size_t length) {
  if (const void* zero = memchr(line, '\0', length)) {
    length = static_cast<const char*>(zero) - line;
  }
  while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) --length;
  return length;
}

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

// Inserts every line of `file` until the end, a refused insert, a read error
// or a cancel request.
void insert_lines(FILE* file, const char* name) {
  engine_string prefix =
      own(sqlite3_mprintf("insert into `%q` (data) values ('", double_backticks(name).c_str()));
  if (!prefix) {
    run_statement(nullptr);
    return;
  }
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  bool cancelled = false;
  // getline grows its buffer to the longest line, so memory stays bounded by
  // that whatever the file's size.
  while (!cancelled && (length = getline(&line, &capacity, file)) >= 0) {
    line[stored_length(line, static_cast<size_t>(length))] = '\0';
    engine_string insert = own(sqlite3_mprintf("%s%q')", prefix.get(), line));
    if (!run_statement(insert.get())) {
      free(line);
      return;
    }
    count_loaded_line();
    cancelled = take_cancel_request();
  }
  free(line);
  // A read that failed, or that a failed allocation ended (which sets neither
  // flag), is no end of file; a Ctrl-C at a terminal also ends a read that
  // waits, from a FIFO say.
  const bool read_failed = length < 0 && !feof(file);
  if (cancelled || (read_failed && take_cancel_request())) {
    print_error("SQL error: %s\n", sqlite3_errstr(SQLITE_INTERRUPT));
  } else if (read_failed) {
    print_error("Can't read %s\n", name);
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
  if (!run_statement(create.get())) {
    fclose(file);
    return;
  }
  // One transaction for the whole file: a commit per row would cost a journal
  // write per line. A refused begin skips the reading, and the commit below
  // then ends whatever transaction was already open.
  begin_load_progress(name, file);
  if (run_statement("begin")) insert_lines(file, name);
  run_statement("commit");
  end_load_progress();
  fclose(file);
}
