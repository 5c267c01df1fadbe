// The built plinth under interrupts, hostile file names and inputs, write
// faults and a second run in the same directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

#include "fault_checks.h"
#include "run_plinth.h"

namespace {

const std::string cross_join = "select * from `t.txt` a, `t.txt` b, `t.txt` c;\n";

enum class phase { load, select, prompt, closed_reader, logging };

struct interrupt_case {
  const char* label;
  phase when;
  int signal;
};

const interrupt_case interrupt_cases[] = {
    {"SIGINT while a large file loads", phase::load, SIGINT},
    {"SIGTERM while a large file loads", phase::load, SIGTERM},
    {"SIGHUP while a large file loads", phase::load, SIGHUP},
    {"SIGINT while a long select prints", phase::select, SIGINT},
    {"SIGTERM while a long select prints", phase::select, SIGTERM},
    {"SIGHUP while a long select prints", phase::select, SIGHUP},
    {"SIGINT at the prompt", phase::prompt, SIGINT},
    {"SIGTERM at the prompt", phase::prompt, SIGTERM},
    {"SIGHUP at the prompt", phase::prompt, SIGHUP},
    {"SIGPIPE from a closed reader", phase::closed_reader, SIGPIPE},
    {"SIGQUIT while a large file loads", phase::load, SIGQUIT},
    {"SIGQUIT at the prompt", phase::prompt, SIGQUIT},
    {"SIGUSR1 at the prompt", phase::prompt, SIGUSR1},
    {"SIGUSR2 at the prompt", phase::prompt, SIGUSR2},
    {"SIGALRM at the prompt", phase::prompt, SIGALRM},
    {"SIGVTALRM at the prompt", phase::prompt, SIGVTALRM},
    {"SIGPROF at the prompt", phase::prompt, SIGPROF},
    {"SIGXCPU at the prompt", phase::prompt, SIGXCPU},
    {"SIGTERM at the prompt with write-ahead logging on", phase::logging, SIGTERM},
    {"SIGSYS while a large file loads", phase::load, SIGSYS},
    {"the last real-time signal while a long select prints", phase::select, SIGRTMAX},
};

// Under valgrind, which keeps the last real-time signal for itself and stops
// on a SIGSYS sent from outside, those two can't reach plinth.
bool reaches_plinth(int signal) {
  const char* wrapper = getenv("PLINTH_TEST_WRAPPER");
  return wrapper == nullptr || strstr(wrapper, "valgrind") == nullptr ||
         (signal != SIGSYS && signal != SIGRTMAX);
}

TEST(interrupt, ends_the_run_by_the_signal_and_leaves_no_scratch_database) {
  for (const interrupt_case& c : interrupt_cases) {
    SCOPED_TRACE(c.label);
    if (!reaches_plinth(c.signal)) continue;
    scratch_dir dir;
    // Large enough that loading it takes seconds: the signal comes long before.
    write_file(dir.path("t.txt"), numbered_lines(c.when == phase::load ? 1000000 : 300));
    plinth_streams streams;
    streams.pipe_input = c.when == phase::prompt || c.when == phase::logging;
    streams.pipe_output = c.when == phase::closed_reader;
    if (c.when == phase::select || c.when == phase::closed_reader) streams.input = cross_join;
    if (c.when == phase::logging) {
      streams.input = "pragma journal_mode=wal; insert into `t.txt` (data) values ('x');\n";
    }
    plinth_process p = start_plinth(dir.root, {"t.txt"}, streams);

    const std::string out = p.io + "/out";
    switch (c.when) {
      case phase::load:
        // The journal is there all along, and fills once the load has begun.
        ASSERT_TRUE(wait_until([&] { return file_size(dir.path(scratch_journal_name)) > 0; }));
        break;
      case phase::select:
        ASSERT_TRUE(wait_until([&] { return file_size(out) > 65536; }));
        break;
      case phase::prompt:
        ASSERT_TRUE(reaches_first_prompt(p));
        break;
      case phase::logging:
        ASSERT_TRUE(wait_until([&] { return read_file(out).ends_with("rows affected.\nsql> "); }));
        ASSERT_TRUE(file_exists(dir.path(scratch_wal_name)));
        break;
      case phase::closed_reader: {
        char first[4096];
        ASSERT_GT(read(p.output, first, sizeof first), 0);
        break;
      }
    }
    if (c.when == phase::closed_reader) {
      close(p.output);
      p.output = -1;
    } else {
      kill(p.pid, c.signal);
    }
    plinth_run run = wait_plinth(p);
    EXPECT_EQ(run.status, 128 + c.signal) << run.err;
    // Nothing is printed before the loads end: the signal came during the load.
    if (c.when == phase::load) {
      EXPECT_EQ(run.out, "");
    }
    expect_no_scratch_files(dir.root);
    expect_next_run_starts_clean(dir);
  }
}

TEST(interrupt, an_ignored_signal_stays_ignored) {
  // As under nohup: the run goes on and ends normally.
  for (int signal : {SIGHUP, SIGQUIT, SIGUSR1}) {
    SCOPED_TRACE(strsignal(signal));
    scratch_dir dir;
    write_file(dir.path("t.txt"), "one\n");
    plinth_streams streams;
    streams.pipe_input = true;
    streams.ignored = {signal};
    plinth_process p = start_plinth(dir.root, {"t.txt"}, streams);
    ASSERT_TRUE(wait_until([&] { return file_size(p.io + "/out") > 0; }));
    kill(p.pid, signal);
    const std::string line = "select data from `t.txt`;\n";
    ASSERT_EQ(write(p.input, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    plinth_run run = wait_plinth(p);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, banner + "sql> " + grid("data", {"one"}) + "1 rows affected.\nsql> ");
    expect_no_scratch_files(dir.root);
  }
}

// A name as it is typed after `save` or `load`; empty when no typed form
// reaches it (the parse takes a leading backtick, a space or a line feed
// otherwise).
struct name_case {
  std::string name;
  std::string typed;
};

const name_case name_cases[] = {
    {"it's.txt", "it's.txt"},
    {"'", "'"},
    {"`", "`"},
    {"``", "``"},
    {"`start.txt", ""},
    {"end.txt`", "end.txt`"},
    {"`both`", ""},
    {"a``b.txt", "a``b.txt"},
    {"with space.txt", "`with space.txt`"},
    {"tab\there.txt", "`tab\there.txt`"},
    {"%s%n%q%%.txt", "%s%n%q%%.txt"},
    {"line\nfeed.txt", ""},
    {"caf\xc3\xa9.txt", "caf\xc3\xa9.txt"},
    {"bad\xff\xfe\xc3.txt", "bad\xff\xfe\xc3.txt"},
    {std::string(251, 'n') + ".txt", std::string(251, 'n') + ".txt"},
    {"sub/deeper/notes.txt", "sub/deeper/notes.txt"},
    {"sub/../up.txt", "sub/../up.txt"},
    {"../outside.txt", "../outside.txt"},
    {"t` (a);create table `evil", ""},
    {"keep.txt`;--", "keep.txt`;--"},
    {"x');drop table `keep.txt`;--", ""},
    {"x`;drop`keep.txt", "x`;drop`keep.txt"},
};

std::string hex(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Every table name the run listed, from lines that are hex and nothing else.
std::vector<std::string> listed_tables(const std::string& out) {
  std::vector<std::string> tables;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.find_first_not_of("0123456789ABCDEF") == std::string::npos) {
      tables.push_back(line);
    }
  }
  return tables;
}

TEST(hostile_names, load_into_a_table_of_that_name_and_save_back_running_no_other_sql) {
  const std::string list_tables =
      "select hex(name) from sqlite_master where name not like 'sqlite%' order by 1;\n";
  for (const name_case& c : name_cases) {
    for (bool typed_load : {false, true}) {
      if (typed_load && c.typed.empty()) continue;
      SCOPED_TRACE(testing::Message() << testing::PrintToString(c.name)
                                      << (typed_load ? " typed" : " from the command line"));
      scratch_dir dir;
      const std::string run_dir = dir.path("run");
      std::filesystem::create_directories(run_dir + "/sub/deeper");
      write_file(run_dir + "/keep.txt", "kept\n");
      // CR LF line ends and no final line feed: a save back changes the file.
      write_file(run_dir + "/" + c.name, "one\r\ntwo");
      const std::set<std::string> before = tree(dir.root);

      std::string input = typed_load ? "load " + c.typed + "\n" : "";
      input += list_tables;
      if (!c.typed.empty()) input += "save " + c.typed + "\n";
      input += list_tables;
      std::vector<std::string> args{"keep.txt"};
      if (!typed_load) args.push_back(c.name);
      plinth_run run = run_plinth(run_dir, args, input);

      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(run.err, "");
      // The engine's name holds each single quote twice, as typed SQL writes it.
      std::string stored;
      for (char ch : c.name) stored += ch == '\'' ? "''" : std::string(1, ch);
      std::set<std::string> expected{hex("keep.txt"), hex(stored)};
      std::vector<std::string> twice(expected.begin(), expected.end());
      twice.insert(twice.end(), expected.begin(), expected.end());
      EXPECT_EQ(listed_tables(run.out), twice);
      EXPECT_EQ(read_file(run_dir + "/keep.txt"), "kept\n");
      EXPECT_EQ(read_file(run_dir + "/" + c.name), c.typed.empty() ? "one\r\ntwo" : "one\ntwo\n");
      EXPECT_EQ(tree(dir.root), before);
    }
  }
}

struct content_case {
  const char* label;
  std::string content;
};

std::string random_bytes(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (char& b : bytes) {
    state = state * 1103515245 + 12345;
    b = static_cast<char>(state >> 23);
  }
  return bytes;
}

const content_case content_cases[] = {
    {"empty", ""},
    {"binary", random_bytes(65536)},
    {"zero bytes", std::string("a\0b\n\0\n\0\0c\r\0\nend\0", 17)},
    {"invalid UTF-8", "\xfe\xfe\n\xff\xfe\n\xc3\x28\n\xed\xa0\x80\n\xf8\x88\x80\x80\x80\n\xc3\n"},
    {"CR-only line ends", "one\rtwo\rthree\r"},
    {"no final line feed", "one\ntwo"},
    {"line ends only", "\r\n\n\r\r\n\n"},
    {"quotes and backticks", "it's\n'';--\n`x`\n%s%n\n"},
};

TEST(hostile_inputs, files_load_and_save_back_as_the_loader_keeps_them) {
  for (const content_case& c : content_cases) {
    SCOPED_TRACE(c.label);
    scratch_dir dir;
    write_file(dir.path("f.txt"), c.content);
    plinth_run run = run_plinth(dir.root, {"f.txt"}, "save f.txt\nsave f.txt\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, zero_byte_refusal(c.content, "f.txt"));
    EXPECT_EQ(read_file(dir.path("f.txt")), as_kept(c.content));
    expect_no_scratch_files(dir.root);
  }
}

struct input_case {
  const char* label;
  plinth_streams streams;
};

TEST(hostile_inputs, standard_input_that_ends_fails_or_is_garbage_ends_the_run_cleanly) {
  scratch_dir dir;
  plinth_streams directory;
  directory.input_path = dir.root;
  plinth_streams closed;
  closed.close_input = true;
  plinth_streams garbage;
  garbage.input = random_bytes(8192);
  const input_case cases[] = {
      {"empty", {}},
      {"a directory", directory},
      {"closed", closed},
      {"binary", garbage},
  };
  for (const input_case& c : cases) {
    SCOPED_TRACE(c.label);
    write_file(dir.path("t.txt"), "one\n");
    plinth_process p = start_plinth(dir.root, {"t.txt"}, c.streams);
    plinth_run run = wait_plinth(p);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, banner.size() + 5), banner + "sql> ");
    if (c.streams.input.empty()) {
      EXPECT_EQ(run.out, banner + "sql> ");
      EXPECT_EQ(run.err, "");
    }
    expect_no_scratch_files(dir.root);
    EXPECT_EQ(read_file(dir.path("t.txt")), "one\n");
  }
}

struct write_fault_case {
  const char* label;
  std::string name;
  std::string message;
  std::string before;  // typed before the save, and its undoing after
  std::string after;
};

const write_fault_case write_fault_cases[] = {
    {"a full device", "/dev/full", "Can't write /dev/full\n", "", ""},
    {"a missing directory", "missing/t.txt", "Can't open missing/t.txt\n", "", ""},
    {"a directory", "adir", "Can't open adir\n", "", ""},
    {"a FIFO without a reader", "fifo", "Can't open fifo\n", "", ""},
    {"the scratch database", "plinth.temp.htnilp", "Can't open plinth.temp.htnilp\n", "", ""},
    {"the scratch database by another path", "./adir/../plinth.temp.htnilp",
     "Can't open ./adir/../plinth.temp.htnilp\n", "", ""},
    {"a link to the scratch database", "link", "Can't open link\n", "", ""},
    {"the journal while absent", "plinth.temp.htnilp-journal",
     "Can't open plinth.temp.htnilp-journal\n", "", ""},
    {"the journal while in use", "plinth.temp.htnilp-journal",
     "Can't open plinth.temp.htnilp-journal\n", "begin; insert into `keep` values (null, 'c');\n",
     "commit;\n"},
};

TEST(write_faults, are_reported_and_leave_the_table_and_the_scratch_database_whole) {
  for (const write_fault_case& c : write_fault_cases) {
    SCOPED_TRACE(c.label);
    scratch_dir dir;
    std::filesystem::create_directory(dir.path("adir"));
    std::filesystem::create_symlink(scratch_db_name, dir.path("link"));
    ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
    const std::string quoted = "`" + c.name + "`";
    const std::string input =
        "new " + quoted + "\ncreate table keep (row integer primary key, data);\n" +
        "insert into " + quoted + " (data) values ('a'), ('b');\n" + c.before + "save " + quoted +
        "\n" + c.after + "select group_concat(data, ',') from " + quoted + ";\n" +
        "select count(*) from sqlite_master where name not like 'sqlite%';\n";
    plinth_streams streams;
    streams.input = input;
    // Bounded: a save that waited for a reader would never end.
    plinth_process p = start_plinth(dir.root, {"none.txt"}, streams);
    plinth_run run = wait_plinth(p, 60);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Can't open none.txt\n" + c.message);
    EXPECT_NE(run.out.find("\na,b\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n2\n"), std::string::npos) << run.out;
    expect_no_scratch_files(dir.root);
    EXPECT_FALSE(file_exists(dir.path("missing")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path("adir")));
  }
}

}  // namespace
