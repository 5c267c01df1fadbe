// A line on standard error that shows how far a long load has come, when
// standard error is a terminal. Counting a line costs an increment and a
// comparison; the clock is read only every so many lines.
#pragma once

#include <cstdint>

// Starts counting the lines loaded from the file `name`, `size` bytes long
// (-1: unknown), of which `*read` have been read.
void begin_load_progress(const char* name, const int64_t* read, int64_t size);
// Erases the line, if it is shown, and stops counting.
void end_load_progress();
// Erases the line, if it is shown, so that a message takes its place.
void clear_load_progress();

extern uint64_t loaded_lines;
extern uint64_t next_progress_check;
void check_load_progress();

inline void count_loaded_line() {
  if (++loaded_lines == next_progress_check) check_load_progress();
}
