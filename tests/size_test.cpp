// The built plinth on inputs of hundreds of megabytes, a million lines or no
// end, and interrupts during a load or a save of a large table. Slow under
// memory checkers.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstring>

#include "fault_checks.h"
#include "run_plinth.h"

namespace {

constexpr int saved_rows = 1000000;

// The rows of the table the save writes, the way the save must write them.
std::string saved_text() {
  std::string text;
  for (int i = 1; i <= saved_rows; ++i) text += "row " + std::to_string(i) + " of the table\n";
  return text;
}

TEST(interrupt, during_a_save_the_file_is_written_whole_then_the_run_ends) {
  const std::string expected = saved_text();
  const std::string input =
      "new t.txt\n"
      "insert into `t.txt` (data) with recursive n(i) as (select 1 union all select i + 1 "
      "from n where i < " +
      std::to_string(saved_rows) +
      ") select 'row ' || i || ' of the table' from n;\n"
      "save t.txt\n";
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    scratch_dir dir;
    // Input held open: a signal that comes after the save finds the prompt.
    plinth_streams streams;
    streams.input = input;
    streams.pipe_input = true;
    plinth_process p = start_plinth(dir.root, {"none.txt"}, streams);
    // The file appears at the open, before a line of it is written.
    ASSERT_TRUE(wait_until([&] { return file_exists(dir.path("t.txt")); }, 600));
    kill(p.pid, signal);
    plinth_run run = wait_plinth(p);
    EXPECT_EQ(run.status, 128 + signal) << run.err;
    EXPECT_TRUE(read_file(dir.path("t.txt")) == expected) << file_size(dir.path("t.txt"));
    expect_no_scratch_files(dir.root);
    expect_next_run_starts_clean(dir);
  }
}

TEST(interrupt, a_load_killed_part_way_leaves_no_table_and_the_next_run_loads_afresh) {
  scratch_dir dir;
  const std::string content = numbered_lines(1000000);
  write_file(dir.path("big.txt"), content);
  plinth_process p = start_plinth(dir.root, {"big.txt"}, {});
  // Rows of the load are in the database file itself.
  ASSERT_TRUE(wait_until([&] { return file_size(dir.path(scratch_db_name)) > (1 << 20); }));
  kill(p.pid, SIGKILL);
  EXPECT_EQ(wait_plinth(p).status, 128 + SIGKILL);
  ASSERT_TRUE(file_exists(dir.path(scratch_db_name)));

  plinth_run next = run_plinth(dir.root, {"big.txt"},
                               "select count(*), max(row) from `big.txt`;\nsave big.txt\n");
  EXPECT_EQ(next.status, 0);
  EXPECT_EQ(next.err, "");
  EXPECT_EQ(next.out, banner + "sql> " + grid("count(*) | max(row)", {"1000000 | 1000000"}) +
                          "1 rows affected.\nsql> sql> ");
  EXPECT_TRUE(read_file(dir.path("big.txt")) == content);
  expect_no_scratch_files(dir.root);
}

struct large_case {
  const char* label;
  std::string content;
};

TEST(large_inputs, load_and_save_back_with_bounded_work) {
  const large_case cases[] = {
      {"a 100 MB single line", std::string(100000000, 'x') + "\n"},
      {"one million empty lines", std::string(1000000, '\n')},
  };
  for (const large_case& c : cases) {
    SCOPED_TRACE(c.label);
    scratch_dir dir;
    write_file(dir.path("f.txt"), c.content);
    plinth_run run = run_plinth(dir.root, {"f.txt"}, "select count(*) from `f.txt`;\nsave f.txt\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    const size_t lines = std::count(c.content.begin(), c.content.end(), '\n');
    EXPECT_EQ(run.out, banner + "sql> " + grid("count(*)", {std::to_string(lines)}) +
                           "1 rows affected.\nsql> sql> ");
    EXPECT_TRUE(read_file(dir.path("f.txt")) == c.content);
    expect_no_scratch_files(dir.root);
  }
}

// A number from a "Name: value" line of a /proc file, or -1.
long proc_value(const std::string& path, const std::string& name) {
  const std::string text = read_file(path);
  size_t at = text.find(name + ":");
  return at == std::string::npos ? -1 : std::stol(text.substr(at + name.size() + 1));
}

// /dev/zero is one line that never ends, of zero bytes: none of it is stored,
// so the load reads on in constant memory until it is ended.
TEST(large_inputs, an_endless_line_is_read_in_constant_memory) {
  scratch_dir dir;
  plinth_process p = start_plinth(dir.root, {"/dev/zero"}, {});
  const std::string proc = "/proc/" + std::to_string(p.pid);
  // A reader that kept what it read would now hold a gigabyte.
  const bool read_enough =
      wait_until([&] { return proc_value(proc + "/io", "rchar") > (1L << 30); }, 300);
  const long peak_kb = proc_value(proc + "/status", "VmHWM");
  kill(p.pid, SIGTERM);
  plinth_run run = wait_plinth(p);
  ASSERT_TRUE(read_enough);
  // A few MB; the sanitizers' shadow memory adds some tens.
  EXPECT_GT(peak_kb, 0);
  EXPECT_LT(peak_kb, 128 * 1024);
  EXPECT_EQ(run.status, 128 + SIGTERM);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  expect_no_scratch_files(dir.root);
}

struct typed_case {
  const char* label;
  std::string input;
  std::string out;  // what the first SQL line prints after the prompt
  std::string err;
  std::string saved;  // what the file t holds after the run
};

TEST(large_inputs, typed_lines_of_a_megabyte_are_handled_whole) {
  const std::string mb(1000000, 'y');
  const typed_case cases[] = {
      {"a long select", "select length('" + mb + "');\n",
       grid("length('" + mb + "')", {"1000000"}) + "0 rows affected.\n", "", ""},
      {"a long name to load", "load " + mb + "\n", "", "Can't open " + mb + "\n", ""},
      {"a long row saved", "new t\ninsert into t (data) values ('" + mb + "');\nsave t\n",
       "sql> 1 rows affected.\nsql> ", "", mb + "\n"},
  };
  for (const typed_case& c : cases) {
    SCOPED_TRACE(c.label);
    scratch_dir dir;
    plinth_run run = run_plinth(dir.root, {"none.txt"}, c.input);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.out.starts_with(banner + "sql> " + c.out)) << run.out.substr(0, 200);
    EXPECT_EQ(run.err, "Can't open none.txt\n" + c.err);
    EXPECT_TRUE(read_file(dir.path("t")) == c.saved);
    expect_no_scratch_files(dir.root);
  }
}

}  // namespace
