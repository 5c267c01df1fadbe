// Reading typed lines. One seam, two readers: the plain reader for scripts,
// pipes and builds without readline, and readline when a person types at a
// terminal. The loop sees the same lines from both.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "os/os.h"

#ifdef PLINTH_HAVE_READLINE
#include <readline/history.h>
#include <readline/readline.h>
#include <sys/select.h>
#endif

namespace {

bool at_terminal() {
  static const bool answer = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
  return answer;
}

void (*line_editor_setup)() = nullptr;

bool read_plain_line(const char* prompt, std::string& line) {
  static char* buffer = nullptr;
  static size_t capacity = 0;
  for (;;) {
    os_write_out(prompt);
    os_flush_out();
    ssize_t length = getline(&buffer, &capacity, stdin);
    if (length >= 0) {
      line.assign(buffer, static_cast<size_t>(length));
      return true;
    }
    // A Ctrl-C at a terminal drops the line being typed and prompts again.
    if (errno == EINTR && take_cancel_request()) {
      clearerr(stdin);
      os_put_out('\n');
      continue;
    }
    free(buffer);
    buffer = nullptr;
    capacity = 0;
    // Leaving may be refused at a terminal: the next read waits for more.
    clearerr(stdin);
    // The shell that started us then prompts on a line of its own.
    if (at_terminal()) os_put_out('\n');
    return false;
  }
}

#ifdef PLINTH_HAVE_READLINE

// The callback interface rather than readline(): our own SIGINT handler stays
// in place, and a Ctrl-C seen between two keys can throw the line away.
char* typed_line = nullptr;
bool line_ended = false;

void take_typed_line(char* text) {
  typed_line = text;
  line_ended = true;
  // Removed at once, so the terminal is back in its normal mode while the
  // line runs.
  rl_callback_handler_remove();
}

void set_up_readline() {
  rl_readline_name = "plinth";
  rl_catch_signals = 0;
  // Each pasted line runs as if typed, as it does through the plain reader.
  rl_variable_bind("enable-bracketed-paste", "off");
  if (line_editor_setup != nullptr) line_editor_setup();
}

void discard_typed_line() {
  rl_free_line_state();
  rl_callback_sigcleanup();
  // The ^C goes after the line, not over it where the cursor was.
  rl_point = rl_end;
  rl_redisplay();
  rl_echo_signal_char(SIGINT);
  rl_crlf();
  rl_replace_line("", 0);
  rl_on_new_line();
  rl_redisplay();
}

bool read_terminal_line(const char* prompt, std::string& line) {
  static bool ready = false;
  if (!ready) {
    set_up_readline();
    ready = true;
  }
  os_flush_out();
  using_history();
  line_ended = false;
  typed_line = nullptr;
  rl_callback_handler_install(prompt, take_typed_line);
  while (!line_ended) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fileno(rl_instream), &readable);
    if (select(fileno(rl_instream) + 1, &readable, nullptr, nullptr, nullptr) < 0) {
      if (errno != EINTR) {
        rl_callback_handler_remove();
        break;
      }
      if (take_cancel_request()) {
        discard_typed_line();
      } else {
        rl_check_signals();  // a resized window
      }
      continue;
    }
    rl_callback_read_char();
  }
  if (typed_line == nullptr) {
    os_put_out('\n');
    return false;
  }
  if (typed_line[0] != '\0') add_history(typed_line);
  line.assign(typed_line);
  line += '\n';
  free(typed_line);
  typed_line = nullptr;
  return true;
}

#endif

}  // namespace

void set_line_editor_setup(void (*setup)()) {
  line_editor_setup = setup;
}

bool read_line(const char* prompt, std::string& line) {
  take_cancel_request();  // a Ctrl-C during a save cancels no line yet to come
#ifdef PLINTH_HAVE_READLINE
  if (at_terminal()) return read_terminal_line(prompt, line);
#endif
  return read_plain_line(prompt, line);
}
