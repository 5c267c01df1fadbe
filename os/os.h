// What plinth asks of the operating system, in one place. Each system has its
// own implementation of all of it: os/unix/ (Linux) and os/win/ (Windows).
// Nothing outside os/ includes a system header or asks which system it is
// on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// The start of a run.

// Readies the process before anything is read or written: a standard stream
// that started closed is opened on the null device, so that no file opened
// later takes its place; a console is set up to show UTF-8.
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

// Stream writes without taking the stream's lock: the one thread owns
// standard output and a save's file, and a lock per cell costs more than the
// cell's copy.
#ifdef _WIN32
// msvcrt.dll has no unlocked fwrite; its putc has one, a macro.
inline size_t write_unlocked(const void* bytes, size_t length, FILE* stream) {
  return fwrite(bytes, 1, length, stream);
}
inline void put_unlocked(char c, FILE* stream) {
  _putc_nolock(c, stream);
}
#else
inline size_t write_unlocked(const void* bytes, size_t length, FILE* stream) {
  return fwrite_unlocked(bytes, 1, length, stream);
}
inline void put_unlocked(char c, FILE* stream) {
  putc_unlocked(c, stream);
}
#endif

// Interrupts: Ctrl-C and the ends of a session.

// At a terminal Ctrl-C (and Ctrl-Break) only cancels what is under way.
// Whatever else ends the process from outside (a signal, a closed console
// window, a logoff) ends the run after leaving the scratch database.
void install_interrupt_handlers(bool at_terminal);
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

// Prints the prompt and reads one line, its line feed kept when it has one:
// with line editing and history when a person types at a terminal. False at
// the end of input or on a read error.
bool read_line(std::string& line);

// The scratch database's file, held by one run alone.

enum class scratch_found { taken, refused, vanished };
// Opens the file of scratch_db_name, made the user's own and private when
// absent (`created`), and locks it for this run alone. Refused, with
// `reason`, when it is not this user's own regular file with one name, holds
// no database, is in use by another run, or a side file is not acceptable;
// vanished when it was removed meanwhile (try again).
scratch_found os_take_scratch_file(std::string& reason, bool& created);
// Whether the name still gives the file this run holds.
bool os_scratch_file_still_named();
// Takes the journal's name for a private file of this user's, for the whole
// run: the engine opens it by name at every transaction.
bool os_take_journal(std::string& reason);
// Lets go of the file, removing it only when asked (and this run is the
// last to hold it).
void os_let_go_scratch_file(bool remove);
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

// The backups that saves in place of the file `name` left when they were
// cut short (".BASE.plinth-XXXXXX", this user's own regular files beside
// the file a save of `name` writes), oldest first.
std::vector<std::string> os_cut_short_saves(const char* name);
