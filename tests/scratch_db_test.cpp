// The built plinth and its scratch database: only the user's own database is
// opened, it is private, a load that does not finish leaves nothing, and the
// last run to leave removes the file it opened and nothing else.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "fault_checks.h"
#include "run_plinth.h"
#include "shell/scratch_file.h"

namespace {

const std::string db = scratch_db_name;
const std::string journal = scratch_journal_name;

// A database the engine made, with one table and one row.
void make_database(const std::string& path) {
  sqlite3* made = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &made), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(made,
                         "create table `notes.txt` (row integer primary key, data text);"
                         "insert into `notes.txt` (data) values ('not yours');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(made);
}

// Each entry of `dir` down to its type, mode, owner, links, time and bytes.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string path = entry.path().string();
    struct stat info = {};
    lstat(path.c_str(), &info);
    std::string what = std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + " " +
                       std::to_string(info.st_nlink) + " " + std::to_string(info.st_mtim.tv_sec) +
                       "." + std::to_string(info.st_mtim.tv_nsec);
    if (S_ISLNK(info.st_mode)) what += " -> " + std::filesystem::read_symlink(path).string();
    if (S_ISREG(info.st_mode)) what += " " + read_file(path);
    entries[entry.path().filename().string()] = what;
  }
  return entries;
}

void give_away(const std::string& path) {
  ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0) << path;  // nobody
}

struct planted_case {
  const char* label;
  std::function<void(const scratch_dir&)> plant;
  std::string reason;
};

const planted_case planted_cases[] = {
    {"a symbolic link to a database",
     [](const scratch_dir& d) {
       make_database(d.path("target.db"));
       ASSERT_EQ(symlink("target.db", d.path(db).c_str()), 0);
     },
     db + " is a symbolic link"},
    {"a dangling symbolic link",
     [](const scratch_dir& d) { ASSERT_EQ(symlink("nowhere", d.path(db).c_str()), 0); },
     db + " is a symbolic link"},
    // Opening it would wait for a writer.
    {"a FIFO", [](const scratch_dir& d) { ASSERT_EQ(mkfifo(d.path(db).c_str(), 0600), 0); },
     db + " is not a regular file"},
    {"a text file", [](const scratch_dir& d) { write_file(d.path(db), "my own notes\n"); },
     "file is not a database"},
    {"a file shorter than a database header",
     [](const scratch_dir& d) { write_file(d.path(db), "SQLite"); }, "file is not a database"},
    {"a second name of a database",
     [](const scratch_dir& d) {
       make_database(d.path("mine.db"));
       ASSERT_EQ(link(d.path("mine.db").c_str(), d.path(db).c_str()), 0);
     },
     db + " has another name (a hard link)"},
    {"a journal that is a symbolic link",
     [](const scratch_dir& d) {
       write_file(d.path("victim"), "precious\n");
       ASSERT_EQ(symlink("victim", d.path(journal).c_str()), 0);
     },
     journal + " is a symbolic link"},
};

const planted_case planted_by_another_user_cases[] = {
    {"another user's database",
     [](const scratch_dir& d) {
       make_database(d.path(db));
       give_away(d.path(db));
     },
     db + " belongs to another user"},
    {"another user's journal beside a database of ours",
     [](const scratch_dir& d) {
       make_database(d.path(db));
       write_file(d.path(journal), "");
       give_away(d.path(journal));
     },
     journal + " belongs to another user"},
};

void expect_refused_and_left_as_it_is(const planted_case& c) {
  SCOPED_TRACE(c.label);
  scratch_dir dir;
  write_file(dir.path("notes.txt"), "alpha\n");
  c.plant(dir);
  const auto before = snapshot(dir.root);
  plinth_process p = start_plinth(dir.root, {"notes.txt"}, {});
  plinth_run run = wait_plinth(p, 60);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Can't open database: " + c.reason + "\n");
  EXPECT_EQ(snapshot(dir.root), before);
}

TEST(scratch_database, that_is_not_the_users_own_database_is_refused_and_left_as_it_is) {
  for (const planted_case& c : planted_cases) expect_refused_and_left_as_it_is(c);
}

TEST(scratch_database, planted_by_another_user_is_refused_and_left_as_it_is) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  for (const planted_case& c : planted_by_another_user_cases) expect_refused_and_left_as_it_is(c);
}

mode_t mode_of(const std::string& path) {
  struct stat info = {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

bool out_has(const plinth_process& p, const std::string& text, size_t times = 1) {
  const std::string out = read_file(p.io + "/out");
  size_t found = 0;
  for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++found;
  return found >= times;
}

void send(const plinth_process& p, const std::string& line) {
  ASSERT_EQ(write(p.input, line.data(), line.size()), static_cast<ssize_t>(line.size()));
}

TEST(scratch_database, and_its_journal_are_private_whatever_the_umask) {
  // The last: a leftover of an earlier run that others could read.
  const std::pair<mode_t, bool> cases[] = {
      {0000, false}, {0022, false}, {0277, false}, {0022, true}};
  for (auto [mask, leftover] : cases) {
    SCOPED_TRACE(testing::Message()
                 << "umask " << std::oct << mask << (leftover ? ", leftover" : ""));
    scratch_dir dir;
    write_file(dir.path("t.txt"), "one\n");
    if (leftover) {
      make_database(dir.path(db));
      ASSERT_EQ(chmod(dir.path(db).c_str(), 0644), 0);
    }
    plinth_streams streams;
    streams.pipe_input = true;
    streams.input = "begin; insert into `t.txt` (data) values ('two');\n";
    const mode_t old_mask = umask(mask);
    plinth_process p = start_plinth(dir.root, {"t.txt"}, streams);
    umask(old_mask);
    ASSERT_TRUE(wait_until([&] { return out_has(p, "1 rows affected.\nsql> "); }));
    EXPECT_EQ(mode_of(dir.path(db)), 0600u);
    EXPECT_EQ(mode_of(dir.path(journal)), 0600u);
    // Between transactions too the journal's name stays taken by the run's
    // own file, so no other user can put one there.
    send(p, "commit;\n");
    ASSERT_TRUE(wait_until([&] { return out_has(p, "1 rows affected.\nsql> ", 2); }));
    EXPECT_EQ(mode_of(dir.path(journal)), 0600u);
    EXPECT_EQ(file_size(dir.path(journal)), 0);
    plinth_run run = wait_plinth(p);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, leftover ? db + " was left by a run that did not end; its tables are as "
                                       "that run left them: notes.txt\n"
                                : "");
    expect_no_scratch_files(dir.root);
  }
}

// A journal of the user's that a killed run left, readable by others, is
// the run's from then on: private too.
TEST(scratch_database, makes_a_leftover_journal_of_the_users_private) {
  scratch_dir dir;
  make_database(dir.path(db));
  write_file(dir.path(journal), "");
  ASSERT_EQ(chmod(dir.path(journal).c_str(), 0644), 0);
  plinth_streams streams;
  streams.pipe_input = true;
  // Nothing loaded: the engine's own write would make the journal private.
  plinth_process p = start_plinth(dir.root, {"none.txt"}, streams);
  ASSERT_TRUE(wait_until([&] { return out_has(p, prompt); }));
  EXPECT_EQ(mode_of(dir.path(journal)), 0600u);
  EXPECT_EQ(wait_plinth(p).status, 0);
}

TEST(scratch_database, replaced_under_a_run_is_left_to_the_run_that_made_the_new_one) {
  for (bool moved : {true, false}) {
    SCOPED_TRACE(moved ? "moved away" : "removed");
    scratch_dir dir;
    write_file(dir.path("a.txt"), "from a\n");
    write_file(dir.path("b.txt"), "from b\n");
    plinth_streams streams;
    streams.pipe_input = true;
    plinth_process a = start_plinth(dir.root, {"a.txt"}, streams);
    ASSERT_TRUE(reaches_first_prompt(a));
    if (moved) {
      ASSERT_EQ(rename(dir.path(db).c_str(), dir.path("moved.db").c_str()), 0);
    } else {
      ASSERT_EQ(unlink(dir.path(db).c_str()), 0);
    }
    plinth_process b = start_plinth(dir.root, {"b.txt"}, streams);
    ASSERT_TRUE(reaches_first_prompt(b));

    // The first ends, at the end of its input: the file now named is not its.
    plinth_run first = wait_plinth(a);
    EXPECT_EQ(first.status, 0);
    EXPECT_TRUE(file_exists(dir.path(db)));
    EXPECT_EQ(file_exists(dir.path("moved.db")), moved);

    send(b, "select name from sqlite_master where name not like 'sqlite%';\n");
    plinth_run second = wait_plinth(b);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(second.out, banner + "sql> " + grid("name", {"b.txt"}) + "1 rows affected.\nsql> ");
    expect_no_scratch_files(dir.root);
  }
}

// Whether process `pid` works on a scratch database that has been removed
// (a memory checker keeps removed files of its own open too).
bool works_on_a_removed_file(int pid) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
    std::error_code ignored;
    const std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
    if (target.ends_with("/" + db + " (deleted)")) return true;
  }
  return false;
}

const std::string in_use = "Can't open database: " + db + " is in use by another run\n";

TEST(scratch_database, runs_starting_and_leaving_at_once_run_or_are_refused_and_leave_nothing) {
  scratch_dir dir;
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    std::vector<plinth_process> runs;
    for (int i = 0; i < 4; ++i) runs.push_back(start_plinth(dir.root, {"none.txt"}, {}));
    int ran = 0;
    for (plinth_process& p : runs) {
      plinth_run run = wait_plinth(p);
      if (run.status == 0) {
        EXPECT_EQ(run.err, "Can't open none.txt\n");
        ++ran;
      } else {
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, in_use);
      }
    }
    EXPECT_GE(ran, 1);
    expect_no_scratch_files(dir.root);
  }
}

// A second run in the directory would work on the first one's tables and save
// them over its files: it stops before it makes, changes or removes anything.
TEST(scratch_database, held_by_a_live_run_refuses_a_second_run_which_changes_nothing) {
  const char* first_lines[] = {"select 1;\n", "begin exclusive;\n", "pragma journal_mode=wal;\n"};
  for (const char* first_line : first_lines) {
    SCOPED_TRACE(first_line);
    scratch_dir dir;
    write_file(dir.path("a.txt"), "from a\n");
    write_file(dir.path("b.txt"), "from b\n");
    plinth_streams streams;
    streams.pipe_input = true;
    streams.input = first_line;
    plinth_process a = start_plinth(dir.root, {"a.txt"}, streams);
    ASSERT_TRUE(wait_until([&] { return out_has(a, "1 rows affected.\nsql> "); }));
    const auto before = snapshot(dir.root);

    plinth_run second = run_plinth(dir.root, {"b.txt"}, "save a.txt\n");
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, in_use);
    EXPECT_EQ(snapshot(dir.root), before);
    EXPECT_FALSE(works_on_a_removed_file(a.pid));

    send(a, "commit;\n");
    send(a, "select data from `a.txt`;\n");
    plinth_run first = wait_plinth(a);
    EXPECT_EQ(first.status, 0);
    EXPECT_NE(first.out.find(grid("data", {"from a"})), std::string::npos) << first.out;
    expect_no_scratch_files(dir.root);
    // What write-ahead logging adds goes with the database.
    EXPECT_EQ(tree(dir.root), (std::set<std::string>{"a.txt", "b.txt"}));
  }
}

const std::string wal = scratch_wal_name;
const std::string shm = scratch_shm_name;
const std::string insert = "insert into `t.txt` (data) values ('typed secret');\n";
const std::string to_wal = "pragma journal_mode=wal;\n";
// The journal goes at each commit, and at once when the mode changes so.
const std::string journal_freed = "pragma journal_mode=delete;\n" + insert;
// Write-ahead logging on and off again: its files go with it.
const std::string wal_and_back = to_wal + insert + "pragma journal_mode=delete;\n";

struct journal_switch_case {
  const char* label;
  std::vector<std::string> before;  // leave the planted name free
  const std::string& planted;
  std::string refused;
};

const journal_switch_case journal_switch_cases[] = {
    {"delete", {journal_freed}, journal, insert},
    {"truncate", {journal_freed}, journal, "pragma journal_mode=truncate; " + insert},
    {"persist", {journal_freed}, journal, "pragma journal_mode=persist; " + insert},
    {"wal, its log", {}, wal, to_wal},
    {"wal, its shared memory", {}, shm, to_wal},
    {"wal and back, the journal", {wal_and_back}, journal, insert},
    {"wal and back, the log", {wal_and_back}, wal, to_wal},
    {"wal and back, the shared memory", {wal_and_back}, shm, to_wal},
};

// How a file comes to be under `name`: by another user, or as a second name
// of one of the user's own files.
struct planting {
  const char* label;
  std::function<void(const scratch_dir&, const std::string&)> plant;
  const char* target;  // the file written there would reach; null: the name's
};

void write_theirs(const std::string& path) {
  write_file(path, "planted\n");
  give_away(path);
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
}

const planting plantings[] = {
    {"their file",
     [](const scratch_dir& d, const std::string& name) { write_theirs(d.path(name)); }, nullptr},
    {"a symbolic link to their file",
     [](const scratch_dir& d, const std::string& name) {
       write_theirs(d.path("theirs"));
       ASSERT_EQ(symlink("theirs", d.path(name).c_str()), 0);
       give_away(d.path(name));
     },
     "theirs"},
    {"a second name of the user's file",
     [](const scratch_dir& d, const std::string& name) {
       ASSERT_EQ(link(d.path("t.txt").c_str(), d.path(name).c_str()), 0);
     },
     "t.txt"},
};

// Sends `lines` and waits for the prompt after the last: the `prompts`th.
void run_typed(const plinth_process& p, const std::string& lines, size_t& prompts) {
  send(p, lines);
  prompts += std::count(lines.begin(), lines.end(), '\n');
  ASSERT_TRUE(wait_until([&] { return out_has(p, prompt, prompts); })) << lines;
}

void expect_planted_file_gets_nothing(const journal_switch_case& c, const planting& how) {
  SCOPED_TRACE(std::string(c.label) + ", " + how.label);
  scratch_dir dir;
  ASSERT_EQ(chmod(dir.root.c_str(), 01777), 0);
  write_file(dir.path("t.txt"), "secret row\n");
  plinth_streams streams;
  streams.pipe_input = true;
  plinth_process p = start_plinth(dir.root, {"t.txt"}, streams);
  ASSERT_TRUE(reaches_first_prompt(p));
  size_t prompts = 1;
  for (const std::string& line : c.before) run_typed(p, line, prompts);
  ASSERT_FALSE(file_exists(dir.path(c.planted)));
  how.plant(dir, c.planted);
  const std::string target = dir.path(how.target != nullptr ? how.target : c.planted);
  const std::string planted = read_file(target);
  run_typed(p, c.refused, prompts);
  send(p, "select data from `t.txt` where row = 1;\n");
  plinth_run run = wait_plinth(p);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "SQL error: unable to open database file\n") << run.out;
  // The run goes on, its table whole.
  EXPECT_NE(run.out.find(grid("data", {"secret row"})), std::string::npos) << run.out;
  EXPECT_EQ(read_file(target), planted);
}

// In a directory that others may write to (/tmp), a file put where the
// engine keeps a journal, log or shared memory would receive the user's rows,
// or play someone else's back into the database.
TEST(scratch_database, keeps_its_rows_from_files_planted_where_a_journal_mode_puts_its_own) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  for (const journal_switch_case& c : journal_switch_cases) {
    for (const planting& how : plantings) expect_planted_file_gets_nothing(c, how);
  }
}

// Through the gate in the test's own process: a database whose header says
// write-ahead logging opens its log and shared memory at the first read,
// beside which another user has put a file.
TEST(scratch_database, in_wal_mode_refuses_a_planted_log_or_shared_memory_at_the_first_read) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  for (const std::string* name : {&wal, &shm}) {
    for (const planting& how : plantings) {
      SCOPED_TRACE(*name + ", " + how.label);
      scratch_dir dir;
      ASSERT_EQ(chmod(dir.root.c_str(), 01777), 0);
      write_file(dir.path("t.txt"), "secret row\n");
      make_database(dir.path(db));
      sqlite3* opened = nullptr;
      ASSERT_EQ(sqlite3_open(dir.path(db).c_str(), &opened), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(opened, "pragma journal_mode=wal", nullptr, nullptr, nullptr),
                SQLITE_OK);
      sqlite3_close(opened);
      how.plant(dir, *name);
      const std::string target = dir.path(how.target != nullptr ? how.target : *name);
      const std::string planted = read_file(target);
      ASSERT_EQ(
          sqlite3_open_v2(dir.path(db).c_str(), &opened, SQLITE_OPEN_READWRITE, scratch_vfs_name()),
          SQLITE_OK);
      EXPECT_EQ(sqlite3_exec(opened, "select * from `notes.txt`", nullptr, nullptr, nullptr),
                SQLITE_CANTOPEN);
      sqlite3_close(opened);
      EXPECT_EQ(read_file(target), planted);
    }
  }
}

// In a directory that keeps every name (append-only), leaving can't remove
// the file: it says so, and empties it and its journal, so that the next
// run there finds no tables of a run that did not end.
TEST(scratch_database, that_cant_be_removed_is_named_and_emptied) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a directory append-only";
  scratch_dir dir;
  write_file(dir.path("t.txt"), "one\n");
  if (system(("chattr +a " + dir.root + " 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "chattr +a does not work here";
  }
  const plinth_run first = run_plinth(dir.root, {"t.txt"}, "update `t.txt` set data = 'two';\n");
  const plinth_run second = run_plinth(dir.root, {"t.txt"}, "select data from `t.txt`;\n");
  ASSERT_EQ(system(("chattr -a " + dir.root).c_str()), 0);
  const std::string cant_remove = "Can't remove " + db + "\n";
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.err, cant_remove);
  EXPECT_EQ(second.err, cant_remove);
  EXPECT_EQ(second.out, banner + "sql> " + grid("data", {"one"}) + "1 rows affected.\nsql> ");
  for (const char* name : {scratch_db_name, scratch_journal_name}) {
    EXPECT_EQ(file_size(dir.path(name)), 0) << name;
  }
}

}  // namespace
