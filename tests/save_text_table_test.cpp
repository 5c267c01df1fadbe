// Saving a table: one line per row, cells separated by tabs, a leading `row`
// column left out.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "kept_text.h"
#include "scratch_fixture.h"
#include "texttable/seen_files.h"
#include "texttable/texttable.h"
#include "texttable/unsaved_edits.h"

namespace {

struct layout_case {
  std::string columns;  // of table t
  std::string values;   // the rows inserted, in SQL
  std::string written;
};

const layout_case layout_cases[] = {
    {"row integer primary key autoincrement, data text", "(null, 'x'), (null, ''), (null, null)",
     "x\n\n\n"},
    {"a, b", "('1', '2'), ('3', null)", "1\t2\n3\t\n"},
    {"a, b, c", "('1', '2', '3'), (null, '', null)", "1\t2\t3\n\t\t\n"},
    {"row, x, y", "(1, 'x', 'y'), (2, null, 'y')", "x\ty\n\ty\n"},
    {"a", "('x'), (null)", "x\t\n\t\n"},
    {"row", "(5), (6)", "\n\n"},
    {"b, row", "('x', 5)", "x\t5\n"},
    {"Row, data", "(7, 'x')", "7\tx\n"},
    {"a, b", "('tab\tin', 'it''s')", "tab\tin\tit's\n"},
};

using save_text_table_test = scratch_test;

std::string saved_stderr(const char* name) {
  testing::internal::CaptureStderr();
  save_text_table(name);
  return testing::internal::GetCapturedStderr();
}

TEST_F(save_text_table_test, writes_each_layout) {
  for (const layout_case& c : layout_cases) {
    SCOPED_TRACE(c.columns);
    query("create table t (" + c.columns + "); insert into t values " + c.values);
    EXPECT_EQ(saved_stderr("t"), "");
    EXPECT_EQ(read_file("t"), c.written);
    query("drop table t");
  }
}

std::string refused(const std::string& name, const std::string& why) {
  return "Can't save " + name + ": " + why + "; save again to write over it\n";
}

const std::string not_loaded = "the file exists and was not loaded";

TEST_F(save_text_table_test, an_empty_table_gives_an_empty_file) {
  ASSERT_EQ(create_text_table("new.txt"), 1);
  ASSERT_EQ(create_text_table("old.txt"), 1);
  write_file("old.txt", "old\n");
  EXPECT_EQ(saved_stderr("new.txt") + saved_stderr("old.txt"), refused("old.txt", not_loaded));
  EXPECT_EQ(saved_stderr("old.txt"), "");
  EXPECT_TRUE(file_exists("new.txt"));
  EXPECT_EQ(read_file("new.txt") + read_file("old.txt"), "");
}

TEST_F(save_text_table_test, writes_what_sql_left_in_the_table) {
  write_file("f", "a\nb\nc\n");
  load_text_file("f");
  query("delete from f where data = 'b'; insert into f (data) values ('d'), ('e')");
  EXPECT_EQ(saved_stderr("f"), "");
  EXPECT_EQ(read_file("f"), "a\nc\nd\ne\n");
}

TEST_F(save_text_table_test, a_failure_leaves_table_and_file) {
  write_file("gone", "kept\n");
  ASSERT_EQ(create_text_table("nodir/f"), 1);
  ASSERT_EQ(create_text_table("/dev/full"), 1);
  query("insert into `/dev/full` (data) values ('x')");
  const std::pair<const char*, const char*> failures[] = {
      {"gone", "SQL error: no such table: gone\n"},
      {"absent", "SQL error: no such table: absent\n"},
      {"nodir/f", "Can't open nodir/f\n"},
      {"/dev/full", "Can't write /dev/full\n"},
  };
  for (auto [name, message] : failures) EXPECT_EQ(saved_stderr(name), message);
  EXPECT_EQ(read_file("gone"), "kept\n");
  EXPECT_FALSE(file_exists("absent"));
  EXPECT_FALSE(file_exists("nodir"));
  EXPECT_EQ(query("select * from `/dev/full`"), std::vector<std::string>{"1|x"});
}

const std::string changed = refused("f", "it changed on disk since it was loaded");

void append(const char* text) {
  write_file("f", read_file("f") + text);
}

// Moves the modification time a second back; the size and the inode stay.
void touch_back() {
  struct stat info;
  ASSERT_EQ(stat("f", &info), 0);
  const timespec times[2] = {info.st_atim, {info.st_mtim.tv_sec - 1, info.st_mtim.tv_nsec}};
  ASSERT_EQ(utimensat(AT_FDCWD, "f", times, 0), 0);
}

// Writes `text` over f in place and puts its times back as they were.
void rewrite_keeping_times(const std::string& text) {
  struct stat info;
  ASSERT_EQ(stat("f", &info), 0);
  const int fd = open("f", O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  const timespec times[2] = {info.st_atim, info.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, "f", times, 0), 0);
}

struct seen_case {
  const char* label;
  std::string content;                  // of f when it is loaded
  std::function<void()> before_first;   // then `save f`
  std::function<void()> before_second;  // then `save f` again
  std::string first, second;            // what each save says
};

const seen_case seen_cases[] = {
    {"unchanged", "a\n", [] {}, [] {}, "", ""},
    {"a line added", "a\n", [] { append("more\n"); }, [] {}, changed, ""},
    {"replaced by a file of the same size", "a\n",
     [] {
       write_file("g", "b\n");
       ASSERT_EQ(rename("g", "f"), 0);
     },
     [] {}, changed, ""},
    {"only its time changed", "a\n", touch_back, [] {}, "", ""},
    {"rewritten with the same size and its time put back", "a\n",
     [] { rewrite_keeping_times("b\n"); }, [] {}, changed, ""},
    {"changed again after a refusal", "a\n", [] { append("1\n"); }, [] { append("2\n"); }, changed,
     changed},
    {"removed", "a\n", [] { ASSERT_EQ(unlink("f"), 0); }, [] {}, "", ""},
    {"cut at a zero byte", std::string("a\0b\n", 4), [] {}, [] {},
     zero_byte_refusal(std::string(1, '\0'), "f"), ""},
    {"cut and changed", std::string("a\0b\n", 4), [] { append("x\n"); }, [] {}, changed, ""},
};

// A save writes over a file only as this run last read or wrote it: once told
// that it changed since, the same save again writes.
TEST_F(save_text_table_test, refuses_once_a_file_that_is_not_what_was_read) {
  for (const seen_case& c : seen_cases) {
    SCOPED_TRACE(c.label);
    write_file("f", c.content);
    load_text_file("f");
    c.before_first();
    EXPECT_EQ(saved_stderr("f"), c.first);
    c.before_second();
    EXPECT_EQ(saved_stderr("f"), c.second);
    EXPECT_EQ(saved_stderr("f"), "");  // the file as the last save left it
    EXPECT_EQ(read_file("f"), as_kept(c.content));
    query("drop table f");
  }
  // A name that now links to a descriptor: refused once, then written
  // through it, where its output has got to.
  write_file("h", "a\n");
  load_text_file("h");
  const int fd = open("g", O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(unlink("h"), 0);
  ASSERT_EQ(symlink(("/dev/fd/" + std::to_string(fd)).c_str(), "h"), 0);
  EXPECT_EQ(saved_stderr("h"), refused("h", "it changed on disk since it was loaded"));
  EXPECT_EQ(saved_stderr("h"), "");
  close(fd);
  EXPECT_EQ(read_file("g"), "a\n");
  // A table that holds nothing of the file is saved over it once told.
  write_file("f", "x\n");
  ASSERT_EQ(create_text_table("f"), 1);
  EXPECT_EQ(saved_stderr("f"), refused("f", not_loaded));
  EXPECT_EQ(read_file("f"), "x\n");
  EXPECT_EQ(saved_stderr("f"), "");
  EXPECT_EQ(read_file("f"), "");
}

struct unread_case {
  const char* label;
  std::function<void()> prepare;  // with f holding "old\n"
  const char* name;               // saved
  std::string first;              // what the first save says; the next ones write
  std::string written;
};

const unread_case unread_cases[] = {
    {"a new table", [] { create_text_table("f"); }, "f", refused("f", not_loaded), ""},
    {"a table made by SQL", [] { scratch_test::query("create table f as select 'x' as data"); },
     "f", refused("f", not_loaded), "x\t\n"},
    {"a table left by an earlier run",
     [] {
       scratch_test::query("create table f (row integer primary key, data text)");
       remember_leftover_table("f");
     },
     "f", refused("f", "its table was left by an earlier run"), ""},
    // A table that went takes what was seen of its file with it; undone, it
    // brings that back.
    {"dropped and made again by SQL",
     [] {
       load_text_file("f");
       scratch_test::query("drop table f; create table f as select 'x' as data");
     },
     "f", refused("f", not_loaded), "x\t\n"},
    {"renamed away and another renamed to its name",
     [] {
       load_text_file("f");
       scratch_test::query(
           "alter table f rename to g; create table h as select 'x' as data;"
           "alter table h rename to f");
     },
     "f", refused("f", not_loaded), "x\t\n"},
    {"loaded in a transaction rolled back, then made by SQL",
     [] {
       scratch_test::query("begin");
       load_text_file("f");
       scratch_test::query("rollback; create table f as select 'x' as data");
     },
     "f", refused("f", not_loaded), "x\t\n"},
    {"a temporary table of its name made by SQL",
     [] {
       load_text_file("f");
       scratch_test::query("create temp table f as select 'x' as data");
     },
     "f", refused("f", not_loaded), "x\t\n"},
    {"dropped in a transaction rolled back",
     [] {
       load_text_file("f");
       scratch_test::query("begin; drop table f; rollback");
     },
     "f", "", "old\n"},
    {"the same table by another letter case, another file",
     [] {
       write_file("F", "F\n");
       load_text_file("F");
     },
     "f", refused("f", "its table was loaded from F"), "F\n"},
    {"a zero byte, named by its row",
     [] {
       load_text_file("f");
       scratch_test::query(
           "insert into f (data) values ('a'), ('b' || char(0) || 'c'), (cast(x'00' as blob))");
     },
     "f", refused("f", "row 3 holds a zero byte, and what follows it would be lost"),
     "old\na\nb\n\n"},
    {"a zero byte in a table without row, named by its place",
     [] {
       load_text_file("f");
       scratch_test::query("create table g (a, b); insert into g values (1, 'x'), (2, char(0))");
     },
     "g", refused("g", "row 2 holds a zero byte, and what follows it would be lost"),
     "1\tx\n2\t\n"},
};

// A save writes over an existing file only what the table was read from or
// last wrote, and never loses text after a zero byte unsaid: refused once,
// the same save again writes.
TEST_F(save_text_table_test, refuses_once_what_the_table_never_held) {
  watch_table_edits(scratch_db);
  for (const unread_case& c : unread_cases) {
    SCOPED_TRACE(c.label);
    write_file("f", "old\n");
    c.prepare();
    EXPECT_EQ(saved_stderr(c.name), c.first);
    EXPECT_EQ(read_file("f"), "old\n");
    EXPECT_EQ(saved_stderr(c.name), "");
    EXPECT_EQ(saved_stderr(c.name), "");  // and as often as it is typed
    EXPECT_EQ(read_file(c.name), c.written);
    for (const char* table : {"f", "g", "h"}) {
      query(std::string("drop table if exists temp.") + table + "; drop table if exists main." +
            table);
      forget_seen_file(table);
    }
    unlink(c.name);
  }
}

}  // namespace
