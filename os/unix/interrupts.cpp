#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "os/os.h"

namespace {

// Read by the signal handlers.
sqlite3* volatile engine = nullptr;
volatile sig_atomic_t cancel_requested = 0;
volatile sig_atomic_t stop_sql = 0;
volatile sig_atomic_t sql_stopped = 0;
// The terminal's settings at start: line editing changes them while a line is
// typed, and a run ended meanwhile must not leave the terminal without echo.
struct termios terminal_at_start;
volatile sig_atomic_t terminal_saved = 0;

// The signals that end a process unless it handles them, besides the
// real-time ones. A fault (SIGSEGV and the like) ends the run as the system
// does: a handler could not trust the state it finds. SIGXFSZ is ignored.
const int ending_signals[] = {SIGINT,    SIGTERM, SIGHUP,    SIGPIPE, SIGQUIT, SIGUSR1,
                              SIGUSR2,   SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGTRAP,
                              SIGSTKFLT, SIGIO,   SIGPWR,    SIGSYS};

// Calls `use` with each signal that ends the run. The real-time signals below
// SIGRTMIN belong to the C library.
template <typename use_function>
void for_each_ending_signal(use_function use) {
  for (int s : ending_signals) use(s);
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) use(s);
}

// Removes the scratch database (unless another run holds it), which would
// otherwise greet the next run with stale tables, then ends the process by the
// same signal so that its parent sees the usual status (and SIGQUIT dumps
// core where the system does). Only async-signal-safe calls here.
void end_run(int signal_number) {
  leave_scratch_db();
  // Only from the foreground: a background job would be stopped by the write.
  if (terminal_saved && tcgetpgrp(STDIN_FILENO) == getpgrp()) {
    tcsetattr(STDIN_FILENO, TCSANOW, &terminal_at_start);
  }
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// Ctrl-C at a terminal stops the statement or load under way; ending the run
// would throw away every unsaved table. Only typed SQL is stopped inside the
// engine; a load looks for the request between the blocks it reads, and
// undoes itself.
void cancel(int) {
  cancel_requested = 1;
  if (stop_sql && engine != nullptr) {
    sql_stopped = 1;
    sqlite3_interrupt(engine);
  }
}

sigset_t ending_set() {
  sigset_t set;
  sigemptyset(&set);
  for_each_ending_signal([&](int s) { sigaddset(&set, s); });
  return set;
}

}  // namespace

void set_interruptible_engine(sqlite3* db) {
  engine = db;
}

void install_interrupt_handlers(bool at_terminal) {
  // Past a file size limit a write fails and the save says so; the signal
  // would end the run with the file half written.
  signal(SIGXFSZ, SIG_IGN);
  if (at_terminal && tcgetattr(STDIN_FILENO, &terminal_at_start) == 0) terminal_saved = 1;
  for_each_ending_signal([&](int s) {
    // A signal the invoker ignores stays ignored: nohup relies on it for
    // SIGHUP, and a shell script's background jobs for SIGINT.
    struct sigaction inherited = {};
    if (sigaction(s, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) return;
    struct sigaction action = {};
    action.sa_handler = (s == SIGINT && at_terminal) ? cancel : end_run;
    sigfillset(&action.sa_mask);
    // No SA_RESTART: a read at the prompt returns, so a cancelled line can be
    // dropped and the prompt shown again.
    sigaction(s, &action, nullptr);
  });
}

void hold_interrupts(bool hold) {
  sigset_t set = ending_set();
  sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void hold_broken_pipe(bool hold) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  sigset_t pending;
  if (!hold && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
    const timespec now = {};
    sigtimedwait(&set, nullptr, &now);
  }
  sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void set_sql_interruptible(bool interruptible) {
  // Cleared while no Ctrl-C can set it: one that stopped the last statement
  // must not stop the next.
  stop_sql = 0;
  sql_stopped = 0;
  stop_sql = interruptible ? 1 : 0;
}

bool sql_interrupted() {
  return sql_stopped != 0;
}

bool take_cancel_request() {
  if (!cancel_requested) return false;
  cancel_requested = 0;
  return true;
}
