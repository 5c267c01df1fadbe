#include "texttable/progress.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "os/os.h"
#include "texttable/caret_notation.h"

uint64_t loaded_lines = 0;
uint64_t next_progress_check = UINT64_MAX;

namespace {

constexpr double delay = 0.5;    // seconds before the line appears
constexpr double refresh = 0.1;  // seconds between two refreshes, at least
constexpr uint64_t longest_stride = 1 << 16;

using clock = std::chrono::steady_clock;

const char* load_name = nullptr;
const int64_t* load_read = nullptr;  // the bytes read so far
int64_t load_size = -1;              // unknown
line_drawing drawing = line_drawing::none;
size_t drawn_width = 0;  // of the line shown, where it is taken back by overwriting
clock::time_point started;
clock::time_point last_check;
clock::time_point last_shown;
uint64_t stride = 1;
bool shown = false;

double seconds_between(clock::time_point from, clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Takes the line back: erased, or written over with spaces where the
// terminal can't erase.
std::string taken_back() {
  if (drawing == line_drawing::erase) return "\r\033[K";
  std::string spaces(drawn_width + 2, ' ');
  spaces.front() = '\r';
  spaces.back() = '\r';
  return spaces;
}

// "notes.txt: 120000 lines, 45%", kept within one screen line: a line that
// wrapped could not be erased. Control characters of the name show in caret
// notation, as in the grid.
void show_progress() {
  std::string counts = ": " + std::to_string(loaded_lines) + " lines";
  if (load_size > 0) {
    counts += ", " + std::to_string(*load_read * 100 / load_size) + "%";
  }
  size_t width = os_terminal_width() - 1;
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
  std::string text = "\r" + name;
  text += counts;
  if (drawing == line_drawing::erase) {
    text += "\033[K";
  } else if (name.size() + counts.size() < drawn_width) {
    text.append(drawn_width - name.size() - counts.size(), ' ');
  }
  os_write_error(text);
  drawn_width = std::max(drawn_width, name.size() + counts.size());
  shown = true;
}

}  // namespace

void begin_load_progress(const char* name, const int64_t* read, int64_t size) {
  loaded_lines = 0;
  next_progress_check = UINT64_MAX;
  shown = false;
  drawn_width = 0;
  drawing = os_error_line_drawing();
  if (drawing == line_drawing::none) return;
  load_name = name;
  load_read = read;
  load_size = size;
  started = clock::now();
  last_check = started;
  stride = 1;
  next_progress_check = 1;
}

void check_load_progress() {
  const clock::time_point now = clock::now();
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
  os_write_error(taken_back());
  shown = false;
}

void end_load_progress() {
  clear_load_progress();
  next_progress_check = UINT64_MAX;
}
