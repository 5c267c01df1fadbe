// plinth at a real terminal: tmux runs it in a pane, types keys and reads the
// screen back. Every wait is for text on the screen, with a long limit, so a
// busy machine only makes the tests slower.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "run_plinth.h"

namespace {

using namespace std::chrono_literals;

constexpr auto patience = 60s;

// Runs tmux with `args` and returns what it printed.
std::string tmux(const std::string& socket, const std::vector<std::string>& args) {
  int out[2];
  if (pipe(out) != 0) return "";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 2);
    // The server that the first call starts would otherwise hold the pipe
    // open, and the read below would never end.
    close(null_fd);
    close(out[0]);
    close(out[1]);
    std::vector<char*> argv{const_cast<char*>("tmux"), const_cast<char*>("-S"),
                            const_cast<char*>(socket.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp("tmux", argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return text;
}

class terminal_test : public testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);  // a FIFO whose reader went away
    dir = make_temp_dir();
    socket = dir + "/.tmux";
    write_file(dir + "/.tmux.conf", "set -g remain-on-exit on\nset -g history-limit 2000\n");
    write_file(dir + "/notes.txt", "alpha\nbeta\n");
    write_file(dir + "/my notes.txt", "one\ntwo\nthree\n");
  }

  void TearDown() override {
    tmux(socket, {"kill-server"});
    remove_tree(dir);
  }

  // Starts plinth on `files` in a pane, its output into a pipe to `tee`
  // when `piped`. Its exit status goes to the file .status (tmux sometimes
  // never learns it), then the terminal's settings to .stty.
  void start(const std::vector<std::string>& files, bool piped = false) {
    std::vector<std::string> args{"-f",
                                  dir + "/.tmux.conf",
                                  "new-session",
                                  "-d",
                                  "-x",
                                  "110",
                                  "-y",
                                  "40",
                                  "-c",
                                  dir,
                                  "-e",
                                  "INPUTRC=/dev/null",
                                  "sh",
                                  "-c",
                                  "trap : INT; \"$0\" \"$@\"; echo $? > .status; stty -a > .stty"};
    if (piped) {
      args.back() = "trap : INT; { \"$0\" \"$@\"; echo $? > .status; } | tee .out; stty -a > .stty";
    }
    // PLINTH_TEST_WRAPPER is not applied here: memcheck reports a false
    // error inside readline's pselect, and its slowness reorders the keys.
    args.push_back(PLINTH_BINARY);
    args.insert(args.end(), files.begin(), files.end());
    tmux(socket, args);
    wait_for_prompt();
  }

  // The screen and what scrolled off it, wrapped lines joined, trailing
  // spaces dropped (-J keeps them).
  std::string screen() {
    std::string text = tmux(socket, {"capture-pane", "-p", "-J", "-S", "-2000"});
    std::string trimmed;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      size_t last = end;
      while (last > start && text[last - 1] == ' ') --last;
      trimmed.append(text, start, last - start);
      if (end < text.size()) trimmed += '\n';
      start = end + 1;
    }
    return trimmed;
  }

  // The last line of the screen that holds anything.
  std::string last_line() {
    std::string text = screen();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text.substr(text.rfind('\n') + 1);
  }

  bool wait_until(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
      if (done()) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  // Waits until `text` shows on the screen `times` times in all.
  void wait_for(const std::string& text, size_t times = 1) {
    bool seen = wait_until([&] { return count(screen(), text) >= times; });
    ASSERT_TRUE(seen) << "never saw " << text << " on the screen:\n" << screen();
  }

  void wait_for_last_line(const std::string& text) {
    bool seen = wait_until([&] { return last_line() == text; });
    ASSERT_TRUE(seen) << "last line never became [" << text << "]:\n" << screen();
  }

  void wait_for_prompt() { wait_for_last_line("sql>"); }

  static size_t count(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
      ++found;
    }
    return found;
  }

  // Typed as it stands, byte by byte: tmux would read some text as its own
  // syntax (a final semicolon).
  void type(const std::string& text) {
    std::vector<std::string> args{"send-keys", "-H"};
    for (unsigned char c : text) {
      char hex[3];
      snprintf(hex, sizeof hex, "%02x", c);
      args.push_back(hex);
    }
    tmux(socket, args);
  }

  void press(const std::vector<std::string>& keys) {
    std::vector<std::string> args{"send-keys"};
    args.insert(args.end(), keys.begin(), keys.end());
    tmux(socket, args);
  }

  // Types a line and waits for what its last line of output shows.
  void run(const std::string& line, const std::string& shows) {
    size_t before = count(screen(), shows);
    type(line);
    press({"Enter"});
    wait_for(shows, before + 1);
    wait_for_prompt();
  }

  // Runs a query that does not end by itself and stops it with Ctrl-C.
  void stop_with_ctrl_c(const std::string& query) {
    const size_t before = count(screen(), "SQL error: interrupted");
    type(query);
    wait_for_last_line("sql> " + query);
    press({"Enter"});
    // The line is taken once the cursor has left it.
    ASSERT_TRUE(wait_until([&] {
      return tmux(socket, {"display", "-p", "#{cursor_x}"}) == "0\n";
    }));
    // Sent again until heard: one that came before the query started is lost.
    bool stopped = wait_until([&] {
      if (count(screen(), "SQL error: interrupted") > before) return true;
      press({"C-c"});
      std::this_thread::sleep_for(500ms);
      return false;
    });
    ASSERT_TRUE(stopped) << screen();
    wait_for_prompt();
  }

  bool ended() { return file_exists(dir + "/.status"); }
  std::string exit_status() { return read_file(dir + "/.status"); }

  std::string dir;
  std::string socket;
};

bool have_readline() {
#ifdef PLINTH_HAVE_READLINE
  return true;
#else
  return false;
#endif
}

#define NEEDS_READLINE() \
  if (!have_readline()) GTEST_SKIP() << "built without readline"

TEST_F(terminal_test, prompts_and_ends_on_ctrl_d_without_scratch_file) {
  start({"notes.txt"});
  EXPECT_NE(screen().find("-- plinth\n-- Type 'help' for help\n\nsql>"), std::string::npos);
  // The prompt's space is there: the cursor waits after it.
  EXPECT_EQ(tmux(socket, {"display", "-p", "#{cursor_x}"}), "5\n");
  EXPECT_TRUE(file_exists(dir + "/plinth.temp.htnilp"));
  run("select count(*) from `notes.txt`", "1 rows affected.");
  press({"C-d"});
  ASSERT_TRUE(wait_until([&] { return ended() && !exit_status().empty(); })) << screen();
  EXPECT_EQ(exit_status(), "0\n");
  EXPECT_FALSE(file_exists(dir + "/plinth.temp.htnilp"));
  EXPECT_FALSE(file_exists(dir + "/plinth.temp.htnilp-journal"));
}

// Leaving with unsaved edits is refused once, at a terminal only; leaving
// again on the very next line ends the run, any other line between re-arms.
TEST_F(terminal_test, leaving_with_unsaved_edits_is_refused_once) {
  const std::string refusal = "Not saved: notes.txt, todo.txt; quit again to leave without saving";
  const std::vector<std::string> edits{"new todo.txt", "insert into `todo.txt` (data) values ('x')",
                                       "delete from `notes.txt`"};
  enum outcome { refused, runs, leaves };
  const struct {
    std::vector<std::string> typed;                      // before the steps
    std::vector<std::pair<std::string, outcome>> steps;  // a line, or the key C-d
    bool piped = false;  // the output goes into a pipe: a person still types
  } cases[] = {
      {edits, {{"quit", refused}, {"QUIT", leaves}}},
      {edits, {{"C-d", refused}, {"C-d", leaves}}},
      {edits, {{"quit", refused}, {"select 1", runs}, {"C-d", refused}, {"quit", leaves}}},
      {{"update `notes.txt` set data = 'x'", "save notes.txt"}, {{"quit", leaves}}},
      {edits, {{"quit", refused}, {"C-d", leaves}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.steps.front().first + " after " + c.typed.back());
    if (&c != cases) {
      TearDown();
      SetUp();
    }
    start({"notes.txt"}, c.piped);
    for (const std::string& line : c.typed) run(line, "sql>");
    size_t refusals = 0;
    for (const auto& [typed, then] : c.steps) {
      if (then == runs) {
        run(typed, "sql>");
        continue;
      }
      if (typed == "C-d") {
        press({typed});
      } else {
        type(typed);
        press({"Enter"});
      }
      if (then == refused) {
        wait_for(refusal, ++refusals);
        wait_for_prompt();
      }
    }
    ASSERT_TRUE(wait_until([&] { return ended() && !exit_status().empty(); })) << screen();
    EXPECT_EQ(exit_status(), "0\n");
    EXPECT_EQ(count(screen(), refusal), refusals) << screen();
    EXPECT_FALSE(file_exists(dir + "/plinth.temp.htnilp"));
  }
}

// SIGTERM while a line is typed: the run ends by the signal, without its
// scratch file, and leaves the terminal as it found it (echo, whole lines).
TEST_F(terminal_test, sigterm_at_the_prompt_restores_the_terminal) {
  start({"notes.txt"});
  type("select 'half'");
  wait_for_last_line("sql> select 'half'");
  std::string shell = tmux(socket, {"display", "-p", "#{pane_pid}"});
  shell.pop_back();
  std::string plinth = read_file("/proc/" + shell + "/task/" + shell + "/children");
  ASSERT_FALSE(plinth.empty());
  ASSERT_EQ(kill(std::stoi(plinth), SIGTERM), 0);
  // The shell makes the file before stty has written to it.
  ASSERT_TRUE(wait_until([&] {
    std::string written = read_file(dir + "/.stty");
    return !written.empty() && written.back() == '\n';
  })) << screen();
  EXPECT_EQ(exit_status(), "143\n");
  std::string settings = " ";
  settings += read_file(dir + "/.stty");
  for (char& c : settings) {
    if (c == '\n' || c == ';') c = ' ';
  }
  EXPECT_NE(settings.find(" echo "), std::string::npos) << settings;
  EXPECT_NE(settings.find(" icanon "), std::string::npos) << settings;
  EXPECT_FALSE(file_exists(dir + "/plinth.temp.htnilp"));
}

TEST_F(terminal_test, arrow_keys_edit_the_line_before_enter) {
  NEEDS_READLINE();
  start({"notes.txt"});
  type("select 'ac' as edited");
  press({"Left", "Left", "Left", "Left", "Left", "Left", "Left", "Left", "Left", "Left", "Left",
         "Left"});
  type("b");
  press({"Home", "Right", "Right", "Right", "Right", "Right", "Right", "BSpace", "BSpace", "BSpace",
         "BSpace", "BSpace", "BSpace"});
  type("SELECT");
  press({"Enter"});
  wait_for("\nabc\n");
  wait_for_prompt();
  EXPECT_NE(screen().find("sql> SELECT 'abc' as edited\nedited\n"), std::string::npos) << screen();
}

TEST_F(terminal_test, up_arrow_recalls_the_previous_line) {
  NEEDS_READLINE();
  start({"notes.txt"});
  run("select 'remembered' as r", "\nremembered\n");
  run("select 'later' as r", "\nlater\n");
  press({"Up", "Up"});
  wait_for_last_line("sql> select 'remembered' as r");
  press({"Enter"});
  wait_for("\nremembered\n", 2);
  wait_for_prompt();
}

TEST_F(terminal_test, tab_completes_table_names_between_backticks) {
  NEEDS_READLINE();
  start({"notes.txt", "my notes.txt"});
  type("select count(*) from no");
  press({"Tab"});
  wait_for_last_line("sql> select count(*) from `notes.txt`");
  run(" where data like 'a%'", "1 rows affected.");
  EXPECT_NE(screen().find("count(*)\n" + std::string(72, '-') + "\n1\n"), std::string::npos);
  type("select count(*) from `my");
  press({"Tab"});
  wait_for_last_line("sql> select count(*) from `my notes.txt`");
  run("", "\n3\n");
  // After columns( only table names, without a backtick typed first.
  type("create virtual table v using columns(no");
  press({"Tab"});
  wait_for_last_line("sql> create virtual table v using columns(`notes.txt`");
  run("); select count(*) from v", "\n1\n");
}

TEST_F(terminal_test, tab_completes_file_names_after_load) {
  NEEDS_READLINE();
  write_file(dir + "/long list of things.txt", "x\ny\n");
  write_file(dir + "/data.csv", "1,2\n");
  start({"notes.txt"});
  type("load lo");
  press({"Tab"});
  wait_for_last_line("sql> load `long list of things.txt`");
  press({"Enter"});
  wait_for_prompt();
  type("load da");
  press({"Tab"});
  wait_for_last_line("sql> load data.csv");
  press({"Enter"});
  wait_for_prompt();
  run("select count(*) from `long list of things.txt`, `data.csv`", "\n2\n");
}

TEST_F(terminal_test, tab_completes_keywords_in_the_case_typed) {
  NEEDS_READLINE();
  start({"notes.txt"});
  type("SEL");
  press({"Tab"});
  wait_for_last_line("sql> SELECT");
  type("'x' as y wh");
  press({"Tab"});
  wait_for_last_line("sql> SELECT 'x' as y whe");
  // The first Tab added the common part; two more ask for the list.
  press({"Tab", "Tab"});
  wait_for("\nwhen   where\n");
  type("re 1 ord");
  press({"Tab"});
  wait_for_last_line("sql> SELECT 'x' as y where 1 order");
  run("by 1", "\nx\n");
}

TEST_F(terminal_test, tab_completes_function_names) {
  NEEDS_READLINE();
  start({"notes.txt"});
  type("select regexp_su");
  press({"Tab"});
  wait_for_last_line("sql> select regexp_substr");
  run("(data, 'l.*') from `notes.txt` where row = 1", "\nlpha\n");
}

TEST_F(terminal_test, tab_completes_table_valued_functions) {
  NEEDS_READLINE();
  start({"notes.txt"});
  type("select count(*) as parts from string_to_t");
  press({"Tab"});
  wait_for_last_line("sql> select count(*) as parts from string_to_table");
  type("('a b', ' '), regexp_split_to_t");
  press({"Tab"});
  run("('c d e', ' ')", "\n6\n");
}

TEST_F(terminal_test, ctrl_c_discards_a_half_typed_line) {
  start({"notes.txt"});
  type("select 'half' as h");
  wait_for_last_line("sql> select 'half' as h");
  press({"C-c"});
  wait_for("sql> select 'half' as h^C\nsql>");
  wait_for_prompt();
  run("select 'whole' as w", "1 rows affected.");
  std::string text = screen();
  EXPECT_NE(text.find("\nwhole\n"), std::string::npos);
  EXPECT_EQ(text.find("\nhalf\n"), std::string::npos);
  EXPECT_FALSE(ended());
}

TEST_F(terminal_test, ctrl_c_stops_a_query_that_never_ends) {
  start({"notes.txt"});
  const std::string query =
      "with recursive r(i) as (select 1 union all select i + 1 from r) select count(*) from r";
  ASSERT_NO_FATAL_FAILURE(stop_with_ctrl_c(query));
  run("select group_concat(data) from `notes.txt`", "1 rows affected.");
  EXPECT_NE(screen().find("\nalpha,beta\n"), std::string::npos);
}

// Within one row: each pattern scans the rest of the line from each of its
// million start positions, or from each of a million places in one, which
// would take hours. One is searched in stretches, the (*SKIP) one in a
// single call, and the anchored one in a single attempt.
TEST_F(terminal_test, ctrl_c_stops_a_pattern_that_never_ends_within_one_row) {
  const char* const patterns[] = {
      "(?=.*error)(?=.*timeout)",
      "(?=.*error)(?=.*timeout)|x(*SKIP)y",
      "^(?:x(?=.*$))*y",
  };
  start({"notes.txt"});
  run("create table long as select printf('%.1000000c', 'x') as data", "1 rows affected.");
  for (const char* pattern : patterns) {
    SCOPED_TRACE(pattern);
    ASSERT_NO_FATAL_FAILURE(stop_with_ctrl_c("select count(*) from long where data regexp '" +
                                             std::string(pattern) + "'"));
  }
  run("select group_concat(data) from `notes.txt` where data regexp 'a$'", "\nalpha,beta\n");
  run("select length(data) from long", "\n1000000\n");
  EXPECT_FALSE(ended());
}

// A save into a FIFO whose reader never reads waits for it; Ctrl-C ends the
// save, not the run.
TEST_F(terminal_test, ctrl_c_ends_a_save_that_its_reader_stalled) {
  ASSERT_EQ(mkfifo((dir + "/stalled.fifo").c_str(), 0600), 0);
  int reader = open((dir + "/stalled.fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  start({"notes.txt"});
  run("create view `stalled.fifo` as with recursive n(i) as (select 1 union all select i + 1 "
      "from n where i < 300000) select 'line ' || i as data from n",
      "1 rows affected.");
  type("save stalled.fifo");
  press({"Enter"});
  ASSERT_TRUE(wait_until([&] {
    int queued = 0;
    return ioctl(reader, FIONREAD, &queued) == 0 && queued >= 65536;
  }));
  press({"C-c"});
  wait_for("Can't write stalled.fifo");
  wait_for_prompt();
  close(reader);
  run("select group_concat(data) from `notes.txt`", "\nalpha,beta\n");
  EXPECT_FALSE(ended());
}

// Feeds a FIFO one line at a time, as a slow file would arrive, until `stop`
// or `lines` lines.
void feed_slowly(const std::string& fifo, std::atomic<bool>& stop, int lines) {
  int fd = open(fifo.c_str(), O_WRONLY);
  if (fd < 0) return;
  for (int i = 1; i <= lines && !stop; ++i) {
    std::string line = "line " + std::to_string(i) + "\n";
    if (write(fd, line.data(), line.size()) < 0) break;
    std::this_thread::sleep_for(10ms);
  }
  close(fd);
}

// A load stopped part-way leaves no table: saved, it would write a part of
// the file over all of it.
TEST_F(terminal_test, ctrl_c_stops_a_slow_load_and_leaves_no_table) {
  ASSERT_EQ(mkfifo((dir + "/slow.fifo").c_str(), 0600), 0);
  start({"notes.txt"});
  std::atomic<bool> stop = false;
  std::thread feeder(feed_slowly, dir + "/slow.fifo", std::ref(stop), 1000000);
  type("load slow.fifo");
  press({"Enter"});
  wait_for("slow.fifo: ");
  press({"C-c"});
  wait_for("SQL error: interrupted");
  stop = true;
  feeder.join();
  wait_for_prompt();
  EXPECT_EQ(screen().find("slow.fifo: "), std::string::npos) << screen();
  run("select count(*) from `slow.fifo`", "SQL error: no such table: slow.fifo");
  run("select group_concat(data) from `notes.txt`", "\nalpha,beta\n");
  EXPECT_EQ(count(screen(), "SQL error: interrupted"), 1u) << screen();
}

// A large file, stopped while its inserts run.
TEST_F(terminal_test, ctrl_c_during_a_large_load_undoes_it) {
  std::string lines;
  for (int i = 0; i < 4000000; ++i) lines += "l\n";
  write_file(dir + "/large.txt", lines);
  start({"notes.txt"});
  type("load large.txt");
  press({"Enter"});
  wait_for("large.txt: ");
  EXPECT_NE(last_line().find("%"), std::string::npos) << screen();
  press({"C-c"});
  wait_for("SQL error: interrupted");
  wait_for_prompt();
  run("select count(*) from `large.txt`", "SQL error: no such table: large.txt");
  std::string text = screen();
  EXPECT_EQ(count(text, "SQL error: interrupted"), 1u) << text;
  EXPECT_EQ(text.find("cannot commit"), std::string::npos) << text;
  EXPECT_EQ(text.find("large.txt: "), std::string::npos) << text;
}

// The line shows the file's name, its control characters in caret notation
// (ESC typed after Ctrl-V), and goes when the load ends; a screen too narrow
// for "...", the name and the counts shows none. The grid and the error
// lines (a name typed on the command line, an engine message quoting bytes)
// show control characters the same way.
TEST_F(terminal_test, progress_of_a_slow_load_is_erased_at_its_end) {
  const struct {
    std::string file;
    std::string typed;              // the name as typed, up to the keys
    std::vector<std::string> keys;  // pressed in the name
    std::string typed_after;        // the rest of the name
    const char* shown;              // the start of the line, or null for none
    const char* width;
  } cases[] = {
      {"slow.fifo", "slow.fifo", {}, "", "slow.fifo: ", "80"},
      {"slow\x1b[7m.fifo", "slow", {"C-v", "Escape"}, "[7m.fifo", "slow^[[7m.fifo: ", "80"},
      {"narrow.fifo", "narrow.fifo", {}, "", nullptr, "12"},
  };
  start({"notes.txt", "x\x1b]0;PWNED\a\x1b[2J.txt"});
  EXPECT_NE(screen().find("Can't open x^[]0;PWNED^G^[[2J.txt\n"), std::string::npos) << screen();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    ASSERT_EQ(mkfifo((dir + "/" + c.file).c_str(), 0600), 0);
    tmux(socket, {"resize-window", "-x", c.width});
    std::atomic<bool> stop = false;
    type("load `" + c.typed);
    if (!c.keys.empty()) press(c.keys);
    type(c.typed_after + "`");
    press({"Enter"});
    std::thread feeder(feed_slowly, dir + "/" + c.file, std::ref(stop), 100);
    if (c.shown != nullptr) {
      wait_for(c.shown);
      EXPECT_NE(last_line().find(" lines"), std::string::npos) << screen();
    }
    feeder.join();
    wait_for_prompt();
    if (c.shown != nullptr) {
      EXPECT_EQ(screen().find(c.shown), std::string::npos) << screen();
    }
  }
  run("select count(*) from `slow.fifo` join `narrow.fifo` using (row)", "\n100\n");
  run("select 'a' || char(27) || '[2J' || char(13) || 'b' || char(155) as v",
      "\na^[[2J^Mb\\u009b\n");
  run("select json_extract('{}', 'x' || char(27) || '[2J')", "'x^[[2J'\n");
}

}  // namespace
