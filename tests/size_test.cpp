// The built plinth on inputs of hundreds of megabytes, a million lines or no
// end, and interrupts during a load or a save of a large table. Slow under
// memory checkers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

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

// The temporary file a save of t.txt writes before it takes t.txt's place,
// or the backup of t.txt's old content when t.txt is written in place; ""
// when there is none.
std::string temporary_in(const scratch_dir& dir) {
  for (const auto& entry : std::filesystem::directory_iterator(dir.root)) {
    if (entry.path().filename().string().starts_with(".t.txt.plinth-")) return entry.path();
  }
  return "";
}

bool temporary_exists(const scratch_dir& dir) {
  return !temporary_in(dir).empty();
}

struct save_interrupt_case {
  int signal;           // 0: the FIFO's reader goes away instead
  bool fifo;            // t.txt is a FIFO whose reader stops reading
  bool linked = false;  // t.txt has a second name, and is written in place
};

TEST(interrupt, during_a_save_a_file_is_whole_old_or_new_and_a_stalled_fifo_ends) {
  const std::string expected = saved_text();
  const std::string input =
      "new t.txt\n"
      "insert into `t.txt` (data) with recursive n(i) as (select 1 union all select i + 1 "
      "from n where i < " +
      std::to_string(saved_rows) +
      ") select 'row ' || i || ' of the table' from n;\n"
      "save t.txt\n";
  const save_interrupt_case cases[] = {
      {SIGINT, false}, {SIGTERM, false}, {SIGHUP, false},        {SIGKILL, false},
      {SIGTERM, true}, {0, true},        {SIGKILL, false, true}, {SIGRTMIN, false},
  };
  for (const save_interrupt_case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << (c.signal ? strsignal(c.signal) : "no signal") << (c.fifo ? ", a FIFO" : "")
                 << (c.linked ? ", a second name" : ""));
    scratch_dir dir;
    int reader = -1;
    if (c.fifo) {
      ASSERT_EQ(mkfifo(dir.path("t.txt").c_str(), 0600), 0);
      reader = open(dir.path("t.txt").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(reader, 0);
    } else {
      write_file(dir.path("t.txt"), "the old text\n");
      if (c.linked) {
        ASSERT_EQ(link(dir.path("t.txt").c_str(), dir.path("also").c_str()), 0);
      }
    }
    // Input held open: a signal that comes after the save finds the prompt.
    // A file the table was not loaded from is written at the second save.
    plinth_streams streams;
    streams.input = c.fifo ? input : input + "save t.txt\n";
    streams.pipe_input = true;
    plinth_process p = start_plinth(dir.root, {"none.txt"}, streams);
    if (c.fifo) {
      // The FIFO is full, and the save waits for its reader.
      ASSERT_TRUE(wait_until(
          [&] {
            int queued = 0;
            return ioctl(reader, FIONREAD, &queued) == 0 && queued >= 65536;
          },
          600));
    } else if (c.linked) {
      // Part of the new text is over the old.
      ASSERT_TRUE(wait_until([&] { return file_size(dir.path("t.txt")) > (1 << 20); }, 600));
    } else {
      ASSERT_TRUE(wait_until([&] { return temporary_exists(dir); }, 600));
    }
    if (c.signal == 0) {
      // The save fails, and the run goes on to the end of its input.
      close(reader);
      reader = -1;
      ASSERT_TRUE(
          wait_until([&] { return read_file(p.io + "/err").ends_with("Can't write t.txt\n"); }));
    } else {
      kill(p.pid, c.signal);
    }
    plinth_run run = wait_plinth(p);
    EXPECT_EQ(run.status, c.signal ? 128 + c.signal : 0) << run.err;
    if (reader >= 0) close(reader);
    if (c.fifo) {
      expect_no_scratch_files(dir.root);
    } else if (c.signal == SIGKILL && c.linked) {
      // The old content is whole beside the file.
      EXPECT_EQ(read_file(temporary_in(dir)), "the old text\n");
    } else if (c.signal == SIGKILL) {
      // Nothing could run: the file is as it was, and the temporary file and
      // the scratch database are what is left.
      EXPECT_EQ(read_file(dir.path("t.txt")), "the old text\n");
    } else {
      EXPECT_TRUE(read_file(dir.path("t.txt")) == expected) << file_size(dir.path("t.txt"));
      EXPECT_FALSE(temporary_exists(dir));
      expect_no_scratch_files(dir.root);
      expect_next_run_starts_clean(dir);
    }
  }
}

// A line a logger adds while the save writes would be lost: the save looks
// again before the rename, or before it cuts a file written in place to its
// new length, and refuses, keeping the line after the old content.
TEST(save, of_a_file_that_grows_while_it_is_written_refuses_and_keeps_the_new_line) {
  const std::pair<bool, const char*> cases[] = {{false, "upper(data)"},
                                                {true, "upper(data) || ' and more'"}};
  for (auto [linked, update] : cases) {
    SCOPED_TRACE(linked ? "written in place, growing" : "replaced");
    scratch_dir dir;
    const std::string old_text = saved_text();
    write_file(dir.path("t.txt"), old_text);
    if (linked) {
      ASSERT_EQ(link(dir.path("t.txt").c_str(), dir.path("also").c_str()), 0);
    }
    plinth_streams streams;
    streams.input = std::string("update `t.txt` set data = ") + update + ";\nsave t.txt\n";
    streams.pipe_input = true;
    plinth_process p = start_plinth(dir.root, {"t.txt"}, streams);
    ASSERT_TRUE(wait_until([&] { return temporary_exists(dir); }, 600));
    const int log = open(dir.path("t.txt").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(log, 0);
    ASSERT_EQ(write(log, "a new line\n", 11), 11);
    close(log);
    close(p.input);
    p.input = -1;
    plinth_run run = wait_plinth(p);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err,
              "Can't save t.txt: it changed on disk since it was loaded; save again to write over "
              "it\n");
    EXPECT_TRUE(read_file(dir.path("t.txt")) == old_text + "a new line\n");
    EXPECT_FALSE(temporary_exists(dir));
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
