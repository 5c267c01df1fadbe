// Reading typed lines: at the console with its own line editing and
// history, read as UTF-16; from a pipe or a file, byte for byte.
#include <io.h>

#include <cstdio>

#include "os/win/system.h"

namespace {

// A Ctrl-C ends the console's read before its handler has run, on its own
// thread: a read that ends with nothing is given a moment to be explained.
bool cancelled_meanwhile() {
  for (int waited = 0; waited < 20; ++waited) {
    if (take_cancel_request()) return true;
    Sleep(5);
  }
  return false;
}

// One line from the console, its CR LF made a line feed. A line of Ctrl-Z
// alone ends the input, as at any console program's prompt.
bool read_console_line(HANDLE console, const char* prompt, std::string& line) {
  for (;;) {
    os_write_out(prompt);
    os_flush_out();
    std::wstring typed;
    bool ended = false;
    bool cancelled = false;
    while (!ended) {
      wchar_t buffer[1024];
      DWORD count = 0;
      const bool read = ReadConsoleW(console, buffer, 1024, &count, nullptr);
      if (!read || count == 0) {
        cancelled = cancelled_meanwhile();
        break;
      }
      typed.append(buffer, count);
      ended = typed.back() == L'\n';
    }
    if (cancelled) {
      os_put_out('\n');
      continue;
    }
    if (!ended || typed.starts_with(L'\x1a')) {
      os_put_out('\n');
      return false;
    }
    typed.pop_back();
    if (!typed.empty() && typed.back() == L'\r') typed.pop_back();
    line = to_utf8(typed);
    line += '\n';
    return true;
  }
}

// One line of bytes, CR LF read as a line feed.
bool read_plain_line(const char* prompt, std::string& line) {
  os_write_out(prompt);
  os_flush_out();
  line.clear();
  for (;;) {
    const int c = _getc_nolock(stdin);
    if (c == EOF) {
      clearerr(stdin);
      return !line.empty();
    }
    line += static_cast<char>(c);
    if (c == '\n') break;
  }
  if (line.size() >= 2 && line[line.size() - 2] == '\r') line.erase(line.size() - 2, 1);
  return true;
}

}  // namespace

// The console edits lines itself: no setup to call.
void set_line_editor_setup(void (*)()) {}

bool read_line(const char* prompt, std::string& line) {
  take_cancel_request();  // a Ctrl-C during a save cancels no line yet to come
  const HANDLE input = reinterpret_cast<HANDLE>(_get_osfhandle(0));
  DWORD mode;
  if (GetConsoleMode(input, &mode)) return read_console_line(input, prompt, line);
  return read_plain_line(prompt, line);
}
