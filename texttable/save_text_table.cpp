#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "shell/shell.h"
#include "texttable/texttable.h"

namespace {

using table_result = std::unique_ptr<char*, decltype(&sqlite3_free_table)>;

bool same_file(const struct stat& target, const char* other) {
  struct stat info;
  return stat(other, &info) == 0 && info.st_dev == target.st_dev && info.st_ino == target.st_ino;
}

// Opens `name` for writing without changing what it holds. Sets `created`
// when the open made the file. Never waits: a FIFO without a reader is
// refused, as the interrupts that could end the wait are held.
int open_target(const char* name, bool& created) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK;
  int fd = open(name, flags | O_EXCL, 0666);
  created = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = open(name, flags, 0666);
  if (fd >= 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    if (created) unlink(name);
    return -1;
  }
  return fd;
}

// Empties the opened target, unless it is the scratch database or its journal
// by whatever name: writing text over them would lose every table, and a
// journal left behind would be played back into the database. A refused
// target that the open made is removed again.
FILE* take_target(int fd, const char* name, bool created) {
  struct stat info;
  if (fstat(fd, &info) != 0 || same_file(info, scratch_db_name) ||
      same_file(info, scratch_journal_name) || (S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0)) {
    close(fd);
    if (created) unlink(name);
    return nullptr;
  }
  FILE* file = fdopen(fd, "w");
  if (file == nullptr) close(fd);
  return file;
}

// Writes one line per result row: a first column named `row` is left out;
// otherwise the first value is followed by a tab even when it stands alone.
// NULL is written as empty text.
bool write_rows(FILE* file, char** result, int rows, int columns) {
  const bool skip_row = strcmp(result[0] ? result[0] : "", "row") == 0;
  for (int r = 1; r <= rows; ++r) {
    char** values = result + static_cast<size_t>(r) * columns;
    for (int c = skip_row ? 1 : 0; c < columns; ++c) {
      if (values[c] != nullptr) fputs(values[c], file);
      if (c == 0 || c + 1 < columns) putc('\t', file);
    }
    if (putc('\n', file) == EOF) return false;
  }
  return !ferror(file);
}

}  // namespace

void save_text_table(const char* name) {
  engine_string query =
      own(sqlite3_mprintf("select * from `%q`", double_backticks(name).c_str()));
  if (!query) {
    run_statement(nullptr);
    return;
  }
  char** raw = nullptr;
  int rows = 0;
  int columns = 0;
  char* message = nullptr;
  if (sqlite3_get_table(scratch_db, query.get(), &raw, &rows, &columns, &message) != SQLITE_OK) {
    report_sql_error(message);
    return;
  }
  table_result result(raw, &sqlite3_free_table);

  // Held from the open to the close: an interrupt that ended the run meanwhile
  // would remove the scratch database, the only other copy of the rows, while
  // the file is only partly written, or made and still empty.
  hold_interrupts(true);
  bool created = false;
  int fd = open_target(name, created);
  FILE* file = fd < 0 ? nullptr : take_target(fd, name, created);
  if (file == nullptr) {
    hold_interrupts(false);
    print_error("Can't open %s\n", name);
    return;
  }
  bool written = columns == 0 || write_rows(file, result.get(), rows, columns);
  written = fflush(file) == 0 && written;
  written = fclose(file) == 0 && written;
  hold_interrupts(false);
  if (!written) print_error("Can't write %s\n", name);
}
