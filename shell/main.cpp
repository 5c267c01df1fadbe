#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "extensions/extensions.h"
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
  set_error_terminal(isatty(STDERR_FILENO));
  if (argc < 2) {
    print_error("Usage: %s <file> [file...]\n", argc > 0 ? argv[0] : "plinth");
    return 1;
  }
  // One thread, and no use for the engine's memory statistics.
  sqlite3_config(SQLITE_CONFIG_SINGLETHREAD);
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  const bool at_terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
  install_interrupt_handlers(at_terminal);
  set_printer_terminal(isatty(STDOUT_FILENO));

  if (!take_scratch_db()) return 1;
  add_sql_extensions(scratch_db);
  for (int i = 1; i < argc; ++i) {
    apply_engine_settings();
    load_text_file(argv[i]);
  }
  fputs("-- plinth\n-- Type 'help' for help\n\n", stdout);

  std::string line;
  for (;;) {
    const bool leaving = !read_line(line) || !run_line(line);
    if (run_ends(leaving, at_terminal)) break;
  }

  // Held so that an ending signal can't leave the file a second time.
  hold_interrupts(true);
  sqlite3_close(scratch_db);
  leave_scratch_db();
  hold_interrupts(false);
  return 0;
}
