#include <signal.h>
#include <unistd.h>

#include "shell/shell.h"

namespace {

volatile sig_atomic_t scratch_db_owned = 0;
volatile sig_atomic_t cancel_requested = 0;

const int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Removes the scratch database, which would otherwise greet the next run with
// stale tables, then ends the process by the same signal so that its parent
// sees the usual status. Only async-signal-safe calls here.
void end_run(int signal_number) {
  if (scratch_db_owned) {
    unlink(scratch_db_name);
    unlink(scratch_journal_name);
  }
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// Ctrl-C at a terminal stops the statement or load under way; ending the run
// would throw away every unsaved table.
void cancel(int) {
  cancel_requested = 1;
  if (scratch_db != nullptr) sqlite3_interrupt(scratch_db);
}

sigset_t ending_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : ending_signals) sigaddset(&set, s);
  return set;
}

}  // namespace

void install_interrupt_handlers(bool at_terminal) {
  for (int s : ending_signals) {
    struct sigaction action = {};
    action.sa_handler = (s == SIGINT && at_terminal) ? cancel : end_run;
    sigfillset(&action.sa_mask);
    // No SA_RESTART: a read at the prompt returns, so a cancelled line can be
    // dropped and the prompt shown again.
    sigaction(s, &action, nullptr);
  }
}

void set_scratch_db_owned(bool owned) { scratch_db_owned = owned ? 1 : 0; }

void hold_interrupts(bool hold) {
  sigset_t set = ending_set();
  sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

bool take_cancel_request() {
  if (!cancel_requested) return false;
  cancel_requested = 0;
  return true;
}
