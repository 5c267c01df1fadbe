// What plinth asks of the operating system, in one place. Each system has its
// own implementation of all of it: os/unix/ (Linux) and os/win/ (Windows).
// Nothing outside os/ includes a system header or asks which system it is
// on.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// The start of a run.

// Readies the process before anything is read or written: a standard stream
// that started closed is opened on the null device, so that no file opened
// later takes its place; standard output and error are made ready for
// os_write_out and os_write_error.
void os_start();

// Whether standard input (0), output (1) or error (2) is a terminal.
bool os_is_terminal(int stream);

// How standard error can show a line that is drawn and taken back again.
enum class line_drawing {
  none,       // not at all: not a terminal, or one that can't
  erase,      // a carriage return, the line, and an erase to its end
  overwrite,  // a carriage return and the line padded with spaces
};
line_drawing os_error_line_drawing();

// The width of the terminal on standard error, in columns; 80 when unknown.
size_t os_terminal_width();

// The line end of a saved text file, as the system's text mode writes it (a
// UTF-16 file keeps its own).
#ifdef _WIN32
inline constexpr std::string_view os_line_end = "\r\n";
#else
inline constexpr std::string_view os_line_end = "\n";
#endif

// Writes to a save's file without taking the stream's lock: the one thread
// owns it, and a lock per cell costs more than the cell's copy.
#ifdef _WIN32
// msvcrt.dll has no unlocked fwrite.
inline size_t write_unlocked(const void* bytes, size_t length, FILE* stream) {
  return fwrite(bytes, 1, length, stream);
}
#else
inline size_t write_unlocked(const void* bytes, size_t length, FILE* stream) {
  return fwrite_unlocked(bytes, 1, length, stream);
}
#endif

// Standard output and standard error: all that plinth prints goes through
// these. At a Windows console the text (UTF-8) is handed over as characters,
// whatever the console's code page; anywhere else it is written as bytes,
// on Windows each line feed as CR LF, as its text mode writes it. Standard
// output is written without taking the stream's lock, which costs more than
// a short cell's copy: the one thread owns it.
#ifdef _WIN32
void os_write_out(std::string_view text);
void os_put_out(char c);
void os_flush_out();
void os_write_error(std::string_view text);
#else
inline void os_write_out(std::string_view text) {
  fwrite_unlocked(text.data(), 1, text.size(), stdout);
}
inline void os_put_out(char c) {
  putc_unlocked(c, stdout);
}
inline void os_flush_out() {
  fflush(stdout);
}
inline void os_write_error(std::string_view text) {
  fwrite(text.data(), 1, text.size(), stderr);
}
#endif

// Called when a run ends before it began, its usage printed: where plinth
// has its console window to itself (started from Explorer, not a shell),
// waits for Enter, so that the window stays to be read.
void os_wait_before_window_closes();

// Interrupts: Ctrl-C and the ends of a session.

// At a terminal Ctrl-C (and Ctrl-Break) only cancels what is under way.
// Whatever else ends the process from outside (a signal, a closed console
// window, a logoff) ends the run after leaving the scratch database.
void install_interrupt_handlers(bool at_terminal);
// The engine connection that a Ctrl-C stops (and, on Windows, that the end
// of a session closes); null before it is open and once it is closed.
void set_interruptible_engine(sqlite3* db);
// Holds (true) or delivers (false) what ends the run.
void hold_interrupts(bool hold);
// Holds (true) a broken pipe's signal while a save writes to a FIFO or
// device, so that a reader going away fails the save, not the run; releasing
// it drops the signal that the failed write raised.
void hold_broken_pipe(bool hold);
// Whether a Ctrl-C at a terminal also stops the statement the engine runs.
void set_sql_interruptible(bool interruptible);
// True once a Ctrl-C has asked the engine to stop the statement under way,
// until the next set_sql_interruptible: long work inside an SQL function
// looks here, as the engine does between its steps.
bool sql_interrupted();
// True once after a Ctrl-C at a terminal; clears the request.
bool take_cancel_request();

// Prints `prompt` and reads one line, its line feed kept when it has one:
// with line editing and history when a person types at a terminal. False at
// the end of input or on a read error.
bool read_line(const char* prompt, std::string& line);
// Called once before the first line is read at a terminal with line editing:
// where the editor takes its completions from.
void set_line_editor_setup(void (*setup)());

// The scratch database's file, held by one run alone: os/scratch_file.h.

// Removes the scratch database and the engine's files beside it when the
// name still gives the file this run holds and no other run holds it, then
// lets go of it. One that can't be removed (a directory that keeps every
// name) is emptied, so that no later run takes it for a run's that did not
// end. False when the database's file was this run's to remove and is still
// there. Call after closing scratch_db, or from an interrupt handler: safe
// there.
bool leave_scratch_db();

// Files read into tables.

enum class file_type : uint8_t { none, regular, directory, fifo, device, socket, other };

// What a name leads to: which file (its volume and its number there), what
// kind and how long.
struct file_status {
  uint64_t device = 0;
  uint64_t inode = 0;
  file_type type = file_type::none;
  int64_t size = 0;
};

// What `name` leads to now, its links followed, without opening it (opening
// a FIFO would wait for, or wake, the program at its other end). False when
// it leads to nothing.
bool os_status_of_name(const char* name, file_status& status);

// Opens `name` to be read into a table, refusing a directory (reading one
// fails only later, after the table is made), and says what it is. -1 when
// it can't.
int os_open_to_read(const char* name, file_status& status);
// Reads up to `size` bytes: how many, 0 at the end, -1 on failure, or
// os_read_interrupted when an interrupt broke the read off.
inline constexpr int64_t os_read_interrupted = -2;
int64_t os_read(int fd, void* buffer, size_t size);
// Reads up to `size` bytes from `offset` on, whatever interrupts come: how
// many, 0 at the end, -1 on failure.
int64_t os_read_at(int fd, void* buffer, size_t size, int64_t offset);
void os_close(int fd);
