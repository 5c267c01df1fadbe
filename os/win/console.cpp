// The console, and the standard streams' start.
#include <fcntl.h>
#include <io.h>

#include <cstdlib>

#include "os/win/system.h"

// The runtime's start-up code expands wildcards in the arguments, as cmd.exe
// leaves them to the program.
extern "C" {
int _dowildcard = -1;
}

namespace {

UINT output_code_page_at_start = 0;
UINT input_code_page_at_start = 0;

HANDLE handle_of(int stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(stream));
}

// The console the program was started in keeps its code pages after the
// run, for the shell that started it.
void restore_code_pages() {
  if (output_code_page_at_start != 0) SetConsoleOutputCP(output_code_page_at_start);
  if (input_code_page_at_start != 0) SetConsoleCP(input_code_page_at_start);
}

}  // namespace

void os_start() {
  FILE* const streams[] = {stdin, stdout, stderr};
  for (int fd = 0; fd <= 2; ++fd) {
    // A stream started without a handle would hand its number to the next
    // file opened, and the grid or a message would go into a saved file.
    const intptr_t handle = _get_osfhandle(fd);
    if (handle == -1 || handle == -2) {
      if (freopen("NUL", fd == 0 ? "rb" : "wb", streams[fd]) == nullptr) continue;
    }
    // Byte for byte: the text already has its line ends, and a Ctrl-Z in
    // the input is a byte like any other.
    _setmode(fd, _O_BINARY);
  }
  if (os_is_terminal(0) || os_is_terminal(1) || os_is_terminal(2)) {
    output_code_page_at_start = GetConsoleOutputCP();
    input_code_page_at_start = GetConsoleCP();
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
    atexit(restore_code_pages);
  }
}

bool os_is_terminal(int stream) {
  // Not _isatty: it holds for NUL too.
  DWORD mode;
  return GetConsoleMode(handle_of(stream), &mode) != 0;
}

line_drawing os_error_line_drawing() {
  const HANDLE error = handle_of(2);
  DWORD mode;
  if (!GetConsoleMode(error, &mode)) return line_drawing::none;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
      SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    return line_drawing::erase;
  }
  return line_drawing::overwrite;
}

size_t os_terminal_width() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(handle_of(2), &info)) return 80;
  const int width = info.srWindow.Right - info.srWindow.Left + 1;
  return width > 0 ? static_cast<size_t>(width) : 80;
}
