// Standard output and standard error. At a console the text is handed over
// as characters, UTF-16 through the console's own interface, so that every
// character shows whatever code page the console has (its code pages are
// never changed). Anywhere else it is written as a text file, each line feed
// as CR LF.
#include <io.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "os/win/system.h"

namespace {

constexpr size_t held_size = 16384;

enum class stream_kind {
  bytes,      // through the runtime's stream as they are: before os_start
  text_file,  // a file or a pipe
  console,
};

// A standard stream, and what it holds before it is written.
struct standard_stream {
  stream_kind kind = stream_kind::bytes;
  HANDLE handle = nullptr;
  char held[held_size];
  size_t used = 0;
};

standard_stream out;
standard_stream error;
// When standard output was last handed to the console, in the system's
// milliseconds.
ULONGLONG out_handed_at = 0;

// How many bytes at the end of `text` begin a character that a later write
// completes.
size_t unfinished_tail(const char* text, size_t length) {
  size_t back = 0;
  while (back < 3 && back < length &&
         (static_cast<unsigned char>(text[length - 1 - back]) & 0xc0) == 0x80) {
    ++back;
  }
  if (back == length) return 0;
  const unsigned char lead = static_cast<unsigned char>(text[length - 1 - back]);
  const size_t needed = lead >= 0xf0 && lead <= 0xf4   ? 4
                        : lead >= 0xe0 && lead <= 0xef ? 3
                        : lead >= 0xc2 && lead <= 0xdf ? 2
                                                       : 1;
  return back + 1 < needed ? back + 1 : 0;
}

// Hands what a console's stream holds to it as characters; the first bytes
// of a character at the end wait for the rest, unless `whole`. Bytes that
// are no UTF-8 show as U+FFFD.
void hand_to_console(standard_stream& s, bool whole) {
  const size_t tail = whole ? 0 : unfinished_tail(s.held, s.used);
  const size_t length = s.used - tail;
  if (length > 0) {
    static wchar_t wide[held_size];
    const int count = MultiByteToWideChar(CP_UTF8, 0, s.held, static_cast<int>(length), wide,
                                          static_cast<int>(held_size));
    DWORD written = 0;
    for (int at = 0; at < count; at += static_cast<int>(written)) {
      if (!WriteConsoleW(s.handle, wide + at, static_cast<DWORD>(count - at), &written, nullptr) ||
          written == 0) {
        break;
      }
    }
  }
  memmove(s.held, s.held + length, tail);
  s.used = tail;
}

void write_held(standard_stream& s, bool whole) {
  if (s.kind == stream_kind::console) {
    hand_to_console(s, whole);
    return;
  }
  DWORD written = 0;
  for (size_t at = 0; at < s.used; at += written) {
    if (!WriteFile(s.handle, s.held + at, static_cast<DWORD>(s.used - at), &written, nullptr) ||
        written == 0) {
      break;
    }
  }
  s.used = 0;
}

void hold(standard_stream& s, const char* text, size_t length) {
  while (length > 0) {
    if (s.used == held_size) write_held(s, false);
    const size_t n = std::min(length, held_size - s.used);
    memcpy(s.held + s.used, text, n);
    s.used += n;
    text += n;
    length -= n;
  }
}

void hold(standard_stream& s, std::string_view text) {
  if (s.kind == stream_kind::console) {
    hold(s, text.data(), text.size());
    return;
  }
  for (size_t feed; (feed = text.find('\n')) != std::string_view::npos;
       text.remove_prefix(feed + 1)) {
    hold(s, text.data(), feed);
    hold(s, "\r\n", 2);
  }
  hold(s, text.data(), text.size());
}

// A line shows when it ends, as someone waiting for it expects; but a grid
// that comes faster is handed over in blocks, not a call a line, which costs
// a console dearly.
void out_line_ended() {
  const ULONGLONG now = GetTickCount64();
  if (now - out_handed_at < 50) return;
  write_held(out, false);
  out_handed_at = now;
}

void write_all_held() {
  write_held(out, true);
  write_held(error, true);
}

void start_stream(standard_stream& s, int stream) {
  s.handle = reinterpret_cast<HANDLE>(_get_osfhandle(stream));
  DWORD mode;
  s.kind = GetConsoleMode(s.handle, &mode) ? stream_kind::console : stream_kind::text_file;
}

}  // namespace

void start_standard_streams() {
  fflush(stdout);
  start_stream(out, 1);
  start_stream(error, 2);
  atexit(write_all_held);
}

void os_write_out(std::string_view text) {
  if (out.kind == stream_kind::bytes) {
    fwrite(text.data(), 1, text.size(), stdout);
    return;
  }
  hold(out, text);
  if (out.kind == stream_kind::console && text.ends_with('\n')) out_line_ended();
}

void os_put_out(char c) {
  if (out.kind == stream_kind::bytes) {
    _putc_nolock(c, stdout);
    return;
  }
  if (c == '\n' && out.kind == stream_kind::text_file) os_put_out('\r');
  if (out.used == held_size) write_held(out, false);
  out.held[out.used++] = c;
  if (c == '\n' && out.kind == stream_kind::console) out_line_ended();
}

void os_flush_out() {
  if (out.kind == stream_kind::bytes) {
    fflush(stdout);
    return;
  }
  write_held(out, false);
  out_handed_at = GetTickCount64();
}

void os_write_error(std::string_view text) {
  if (error.kind == stream_kind::bytes) {
    fwrite(text.data(), 1, text.size(), stderr);
    return;
  }
  // What was printed before comes first.
  write_held(out, false);
  hold(error, text);
  write_held(error, false);
}
