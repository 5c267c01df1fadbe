// Ctrl-C, Ctrl-Break and the ends of a session. The console calls the
// handler on a thread of its own, while the main thread goes on.
#include "os/win/system.h"
#include "shell/shell.h"

namespace {

constexpr DWORD interrupted_status = 0xC000013A;  // STATUS_CONTROL_C_EXIT
// The system ends a process this long after a closed window, a logoff or a
// shutdown: a save under way gets most of it.
constexpr DWORD close_wait_ms = 4000;

volatile LONG cancel_requested = 0;
volatile LONG stop_sql = 0;
volatile LONG sql_stopped = 0;
bool cancel_only = false;  // at a terminal, Ctrl-C only cancels
HANDLE main_thread = nullptr;
// Owned by the main thread while what ends the run is held.
HANDLE hold_mutex = nullptr;
bool holding = false;

void cancel() {
  InterlockedExchange(&cancel_requested, 1);
  if (stop_sql && scratch_db != nullptr) {
    InterlockedExchange(&sql_stopped, 1);
    sqlite3_interrupt(scratch_db);
  }
}

// The engine keeps its files open without letting anyone remove them: with
// the main thread stopped for good, they are closed under it.
void close_engine_files() {
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (sqlite3_file_control(scratch_db, "main", SQLITE_FCNTL_WIN32_GET_HANDLE, &handle) ==
          SQLITE_OK &&
      handle != INVALID_HANDLE_VALUE && handle != nullptr) {
    CloseHandle(handle);
  }
  sqlite3_file* journal = nullptr;
  if (sqlite3_file_control(scratch_db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &journal) ==
          SQLITE_OK &&
      journal != nullptr && journal->pMethods != nullptr) {
    handle = INVALID_HANDLE_VALUE;
    if (journal->pMethods->xFileControl(journal, SQLITE_FCNTL_WIN32_GET_HANDLE, &handle) ==
            SQLITE_OK &&
        handle != INVALID_HANDLE_VALUE && handle != nullptr) {
      CloseHandle(handle);
    }
  }
}

// Ends the run from the handler's thread once nothing is held (or the time
// the system allows is nearly out), leaving the scratch database first.
void end_run(DWORD wait_ms) {
  const DWORD waited = hold_mutex != nullptr ? WaitForSingleObject(hold_mutex, wait_ms) : 0;
  (void)waited;  // out of time: the scratch database goes anyway
  if (main_thread != nullptr) SuspendThread(main_thread);
  if (scratch_file_held() && scratch_db != nullptr) close_engine_files();
  leave_scratch_db();
  // Not ExitProcess: the stopped thread may hold a lock that it takes.
  TerminateProcess(GetCurrentProcess(), interrupted_status);
}

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (cancel_only) {
        cancel();
        return TRUE;
      }
      end_run(INFINITE);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      end_run(close_wait_ms);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void install_interrupt_handlers(bool at_terminal) {
  cancel_only = at_terminal;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread, 0,
                  FALSE, DUPLICATE_SAME_ACCESS);
  hold_mutex = CreateMutexW(nullptr, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void hold_interrupts(bool hold) {
  if (hold_mutex == nullptr || hold == holding) return;
  if (hold) {
    WaitForSingleObject(hold_mutex, INFINITE);
  } else {
    ReleaseMutex(hold_mutex);
  }
  holding = hold;
}

// No signal comes of a reader going away: the write fails, and so the save.
void hold_broken_pipe(bool) {}

void set_sql_interruptible(bool interruptible) {
  // Cleared while no Ctrl-C can set it: one that stopped the last statement
  // must not stop the next.
  InterlockedExchange(&stop_sql, 0);
  InterlockedExchange(&sql_stopped, 0);
  InterlockedExchange(&stop_sql, interruptible ? 1 : 0);
}

bool sql_interrupted() {
  return sql_stopped != 0;
}

bool take_cancel_request() {
  return InterlockedExchange(&cancel_requested, 0) != 0;
}

bool cancel_pending() {
  return cancel_requested != 0;
}
