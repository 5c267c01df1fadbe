#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "shell/shell.h"
#include "texttable/texttable.h"

namespace {

// A standard stream started closed would hand its number to the next file
// opened, and the grid or a message would then be written into a saved file.
void open_missing_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      int null_fd = open("/dev/null", O_RDWR);
      if (null_fd >= 0 && null_fd != fd) close(null_fd);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  open_missing_standard_streams();
  if (argc < 2) {
    print_error("Usage: %s <file> [file...]\n", argc > 0 ? argv[0] : "plinth");
    return 1;
  }
  // One thread, and no use for the engine's memory statistics.
  sqlite3_config(SQLITE_CONFIG_SINGLETHREAD);
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  install_interrupt_handlers(isatty(STDIN_FILENO) && isatty(STDOUT_FILENO));

  // Held while the file comes into being, so that an interrupt finds it either
  // not made yet or known to be ours to remove.
  hold_interrupts(true);
  if (sqlite3_open(scratch_db_name, &scratch_db) != SQLITE_OK) {
    hold_interrupts(false);
    print_error("Can't open database: %s\n", sqlite3_errmsg(scratch_db));
    sqlite3_close(scratch_db);
    return 1;
  }
  set_scratch_db_owned(true);
  hold_interrupts(false);
  register_regexp_functions(scratch_db);
  // The file is removed at the end of the run, so durable commits buy nothing;
  // the journal still guards it against a crash of the process.
  run_statement("PRAGMA synchronous=OFF");

  for (int i = 1; i < argc; ++i) load_text_file(argv[i]);
  fputs("-- plinth\n-- Type 'help' for help\n\n", stdout);

  std::string line;
  while (read_line(line) && run_line(line)) {
  }

  // Held so that an interrupt now can't remove, once ours is gone, the scratch
  // file of a run started since.
  hold_interrupts(true);
  sqlite3_close(scratch_db);
  unlink(scratch_db_name);
  set_scratch_db_owned(false);
  hold_interrupts(false);
  return 0;
}
