// Whether a long load's progress line is drawn: only on a terminal that can
// erase it again.
#include "texttable/progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

TEST(progress, is_drawn_only_where_a_line_can_be_erased) {
  int pty = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(pty, 0);
  ASSERT_EQ(grantpt(pty), 0);
  ASSERT_EQ(unlockpt(pty), 0);
  int terminal = open(ptsname(pty), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  const char* kept = getenv("TERM");
  const std::string term_before = kept ? kept : "";
  const int standard_error = dup(STDERR_FILENO);
  const int64_t read = 0;
  const struct {
    const char* term;  // null: unset
    bool at_terminal;
    bool drawn;
  } cases[] = {
      {"xterm", true, true},  {"dumb", true, false},   {"", true, false},
      {nullptr, true, false}, {"xterm", false, false},
  };
  for (const auto& c : cases) {
    c.term ? setenv("TERM", c.term, 1) : unsetenv("TERM");
    if (c.at_terminal) dup2(terminal, STDERR_FILENO);
    begin_load_progress("notes.txt", &read, 100);
    const bool drawn = next_progress_check != UINT64_MAX;
    end_load_progress();
    dup2(standard_error, STDERR_FILENO);
    EXPECT_EQ(drawn, c.drawn) << "TERM=" << (c.term ? c.term : "(unset)")
                              << (c.at_terminal ? " at a terminal" : " in a file");
  }
  kept ? setenv("TERM", term_before.c_str(), 1) : unsetenv("TERM");
  close(standard_error);
  close(terminal);
  close(pty);
}
