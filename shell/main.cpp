#include <cstdio>
#include <string>

#include "extensions/extensions.h"
#include "os/os.h"
#include "shell/completion.h"
#include "shell/shell.h"
#include "texttable/texttable.h"

int main(int argc, char** argv) {
  os_start();
  set_error_terminal(os_is_terminal(2));
  if (argc < 2) {
    print_error("Usage: %s <file> [file...]\n", argc > 0 ? argv[0] : "plinth");
    os_wait_before_window_closes();
    return 1;
  }
  // One thread, and no use for the engine's memory statistics.
  sqlite3_config(SQLITE_CONFIG_SINGLETHREAD);
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  const bool at_terminal = os_is_terminal(0) && os_is_terminal(1);
  install_interrupt_handlers(at_terminal);
#ifdef PLINTH_HAVE_READLINE
  set_line_editor_setup(set_up_completion);
#endif
  set_printer_terminal(os_is_terminal(1));

  if (!take_scratch_db()) return 1;
  add_sql_extensions(scratch_db);
  for (int i = 1; i < argc; ++i) {
    apply_engine_settings();
    load_text_file(argv[i]);
  }
  os_write_out("-- plinth\n-- Type 'help' for help\n\n");

  std::string line;
  for (;;) {
    const bool leaving = !read_line(prompt, line) || !run_line(line);
    if (run_ends(leaving, os_is_terminal(0))) break;
  }

  // Held so that an ending signal can't leave the file a second time.
  hold_interrupts(true);
  set_interruptible_engine(nullptr);
  sqlite3_close(scratch_db);
  const bool removed = leave_scratch_db();
  hold_interrupts(false);
  if (!removed) print_error("Can't remove %s\n", scratch_db_name);
  return 0;
}
