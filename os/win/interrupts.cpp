// Ctrl-C, Ctrl-Break and the ends of a session. The console calls the
// handler on a thread of its own, while the main thread goes on.
#include "os/win/system.h"

namespace {

constexpr DWORD interrupted_status = 0xC000013A;  // STATUS_CONTROL_C_EXIT
// The system ends a process this long after a closed window, a logoff or a
// shutdown: a save under way gets most of it.
constexpr DWORD close_wait_ms = 4000;

// Read by the console's handler thread.
sqlite3* volatile engine = nullptr;
volatile LONG cancel_requested = 0;
volatile LONG stop_sql = 0;
volatile LONG sql_stopped = 0;
bool cancel_only = false;  // at a terminal, Ctrl-C only cancels
// Owned by the main thread while what ends the run is held.
HANDLE hold_mutex = nullptr;
bool holding = false;
// Taken around a Ctrl-C's stop of a statement and around the change of
// whether one may be stopped: no stop reaches a statement after the one it
// was meant for, nor a connection being closed.
SRWLOCK interruptible_lock = SRWLOCK_INIT;

void cancel() {
  InterlockedExchange(&cancel_requested, 1);
  AcquireSRWLockExclusive(&interruptible_lock);
  if (stop_sql && engine != nullptr) {
    InterlockedExchange(&sql_stopped, 1);
    sqlite3_interrupt(engine);
  }
  ReleaseSRWLockExclusive(&interruptible_lock);
}

// Takes the connection's own lock, stopping whatever statement holds it,
// until `deadline` (GetTickCount64). The main thread then waits at its next
// call into the engine, which the handler can safely make.
bool take_engine(sqlite3_mutex* lock, ULONGLONG deadline) {
  for (;;) {
    if (sqlite3_mutex_try(lock) == SQLITE_OK) return true;
    if (GetTickCount64() >= deadline) return false;
    sqlite3_interrupt(engine);
    Sleep(10);
  }
}

// The engine keeps its files open without letting anyone remove them: with
// the main thread stopped for good, they are closed under it.
void close_engine_files() {
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (sqlite3_file_control(engine, "main", SQLITE_FCNTL_WIN32_GET_HANDLE, &handle) == SQLITE_OK &&
      handle != INVALID_HANDLE_VALUE && handle != nullptr) {
    CloseHandle(handle);
  }
  sqlite3_file* journal = nullptr;
  if (sqlite3_file_control(engine, "main", SQLITE_FCNTL_JOURNAL_POINTER, &journal) == SQLITE_OK &&
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
// the system allows is nearly out), leaving the scratch database first. The
// main thread is not stopped: stopped inside the heap or the engine, it
// would keep what the handler needs from it for good.
void end_run(DWORD wait_ms) {
  const ULONGLONG deadline =
      wait_ms == INFINITE ? ~ULONGLONG{0} : GetTickCount64() + static_cast<ULONGLONG>(wait_ms);
  // Out of time: the scratch database goes anyway.
  if (hold_mutex != nullptr) WaitForSingleObject(hold_mutex, wait_ms);
  // Only while the run holds the file is the connection open.
  if (scratch_file_held() && engine != nullptr && take_engine(sqlite3_db_mutex(engine), deadline)) {
    close_engine_files();
  }
  leave_scratch_db();
  // Not ExitProcess: the main thread may hold a lock that it takes.
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

void set_interruptible_engine(sqlite3* db) {
  AcquireSRWLockExclusive(&interruptible_lock);
  engine = db;
  ReleaseSRWLockExclusive(&interruptible_lock);
}

void install_interrupt_handlers(bool at_terminal) {
  cancel_only = at_terminal;
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
  // One Ctrl-C that stopped the last statement must not stop the next.
  AcquireSRWLockExclusive(&interruptible_lock);
  InterlockedExchange(&sql_stopped, 0);
  InterlockedExchange(&stop_sql, interruptible ? 1 : 0);
  ReleaseSRWLockExclusive(&interruptible_lock);
}

bool sql_interrupted() {
  return sql_stopped != 0;
}

bool take_cancel_request() {
  return InterlockedExchange(&cancel_requested, 0) != 0;
}
