// The console, and the standard streams' start.
#include <fcntl.h>
#include <io.h>

#include "os/win/system.h"

// The runtime's start-up code expands wildcards in the arguments, as cmd.exe
// leaves them to the program.
extern "C" {
int _dowildcard = -1;
}

namespace {

HANDLE handle_of(int stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(stream));
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
    // Byte for byte: a Ctrl-Z in the input is a byte like any other, and
    // output writes its own line ends (standard_streams.cpp).
    _setmode(fd, _O_BINARY);
  }
  start_standard_streams();
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

void os_wait_before_window_closes() {
  // Started from a shell, the shell shares the console; from Explorer,
  // plinth is alone in a console of its own, which closes when it ends.
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) != 1) return;
  const HANDLE input = handle_of(0);
  DWORD mode;
  if (!GetConsoleMode(input, &mode)) return;
  os_write_error(
      "plinth runs in cmd.exe or PowerShell, started with the files to open (see README.txt).\n"
      "Press Enter to close this window.");
  wchar_t typed[256];
  DWORD count = 0;
  while (ReadConsoleW(input, typed, 256, &count, nullptr) && count > 0 &&
         std::wstring_view(typed, count).find(L'\n') == std::wstring_view::npos) {
  }
}
