#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "shell/shell.h"

bool read_line(std::string& line) {
  static char* buffer = nullptr;
  static size_t capacity = 0;
  for (;;) {
    fputs("sql> ", stdout);
    fflush(stdout);
    ssize_t length = getline(&buffer, &capacity, stdin);
    if (length >= 0) {
      line.assign(buffer, static_cast<size_t>(length));
      return true;
    }
    // A Ctrl-C at a terminal drops the line being typed and prompts again.
    if (errno == EINTR && take_cancel_request()) {
      clearerr(stdin);
      putchar('\n');
      continue;
    }
    free(buffer);
    buffer = nullptr;
    capacity = 0;
    return false;
  }
}
