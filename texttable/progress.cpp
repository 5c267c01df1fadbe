#include "texttable/progress.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "shell/caret_notation.h"

uint64_t loaded_lines = 0;
uint64_t next_progress_check = UINT64_MAX;

namespace {

constexpr double delay = 0.5;    // seconds before the line appears
constexpr double refresh = 0.1;  // seconds between two refreshes, at least
constexpr uint64_t longest_stride = 1 << 16;

const char* load_name = nullptr;
FILE* load_file = nullptr;
off_t load_size = -1;  // unknown
timespec started = {};
timespec last_check = {};
timespec last_shown = {};
uint64_t stride = 1;
bool shown = false;

double seconds_between(const timespec& from, const timespec& to) {
  return static_cast<double>(to.tv_sec - from.tv_sec) +
         static_cast<double>(to.tv_nsec - from.tv_nsec) / 1e9;
}

size_t terminal_width() {
  winsize size = {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// "notes.txt: 120000 lines, 45%", kept within one screen line: a line that
// wrapped could not be erased. Control characters of the name show in caret
// notation, as in the grid.
void show_progress() {
  std::string counts = ": " + std::to_string(loaded_lines) + " lines";
  if (load_size > 0) {
    off_t at = ftello(load_file);
    if (at >= 0) counts += ", " + std::to_string(at * 100 / load_size) + "%";
  }
  size_t width = terminal_width() - 1;
  std::string name;
  show_controls(load_name,
                [&name](const char* piece, size_t length) { name.append(piece, length); });
  if (counts.size() >= width) return;
  if (name.size() + counts.size() > width) {
    if (counts.size() + 3 > width) return;
    size_t cut = name.size() + counts.size() + 3 - width;
    // Not inside a character: its last bytes alone could read as C1 controls.
    while (cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xc0) == 0x80) ++cut;
    name = "..." + name.substr(cut);
  }
  std::string text = "\r" + name + counts + "\033[K";
  fwrite(text.data(), 1, text.size(), stderr);
  shown = true;
}

// The line is drawn and taken back with a carriage return and an erase to
// the end of the line; a terminal that lacks the erase would keep every
// version of it.
bool can_erase_line() {
  const char* term = getenv("TERM");
  return isatty(STDERR_FILENO) && term != nullptr && *term != '\0' &&
         std::string_view(term) != "dumb";
}

}  // namespace

void begin_load_progress(const char* name, FILE* file) {
  loaded_lines = 0;
  next_progress_check = UINT64_MAX;
  shown = false;
  if (!can_erase_line()) return;
  load_name = name;
  load_file = file;
  struct stat info;
  load_size = (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) ? info.st_size : -1;
  clock_gettime(CLOCK_MONOTONIC, &started);
  last_check = started;
  stride = 1;
  next_progress_check = 1;
}

void check_load_progress() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  // Look at the clock every 10 to 50 ms, however fast the lines come.
  double since_check = seconds_between(last_check, now);
  last_check = now;
  if (since_check < 0.01 && stride < longest_stride) {
    stride *= 2;
  } else if (since_check > 0.05 && stride > 1) {
    stride /= 2;
  }
  next_progress_check = loaded_lines + stride;
  if (seconds_between(started, now) < delay) return;
  if (shown && seconds_between(last_shown, now) < refresh) return;
  show_progress();
  last_shown = now;
}

void clear_load_progress() {
  if (!shown) return;
  fputs("\r\033[K", stderr);
  shown = false;
}

void end_load_progress() {
  clear_load_progress();
  next_progress_check = UINT64_MAX;
}
