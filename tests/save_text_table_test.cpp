// Saving a table: one line per row, cells separated by tabs, a leading `row`
// column left out.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "kept_text.h"
#include "scratch_fixture.h"
#include "texttable/texttable.h"

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

TEST_F(save_text_table_test, an_empty_table_gives_an_empty_file) {
  ASSERT_EQ(create_text_table("new.txt"), 1);
  ASSERT_EQ(create_text_table("old.txt"), 1);
  write_file("old.txt", "old\n");
  EXPECT_EQ(saved_stderr("new.txt") + saved_stderr("old.txt"), "");
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

const std::string changed =
    "Can't save f: it changed on disk since it was loaded; save again to write over it\n";

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
    {"only its time changed", "a\n", touch_back, [] {}, changed, ""},
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
  // A table that holds nothing of the file is saved over it as ever.
  write_file("f", "x\n");
  ASSERT_EQ(create_text_table("f"), 1);
  EXPECT_EQ(saved_stderr("f"), "");
  EXPECT_EQ(read_file("f"), "");
}

}  // namespace
