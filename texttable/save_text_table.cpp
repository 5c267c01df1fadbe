#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Opens `name` for writing, emptied. The file is opened before it is emptied
// so that the scratch database and its journal, whatever name leads to them,
// are refused untouched: writing text over them would lose every table.
FILE* open_for_writing(const char* name) {
  int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat info;
  if (fstat(fd, &info) != 0 || same_file(info, scratch_db_name) ||
      same_file(info, scratch_journal_name) ||
      (S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0)) {
    close(fd);
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

  // Held from the open to the close: an interrupt that ended the run now would
  // remove the scratch database while the file is only partly written.
  hold_interrupts(true);
  FILE* file = open_for_writing(name);
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
