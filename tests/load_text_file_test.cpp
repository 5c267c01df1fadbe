// Loading a file: one row per line, however long, line ends stripped.
#include <sys/stat.h>

#include "scratch_fixture.h"
#include "texttable/texttable.h"

namespace {

using rows = std::vector<std::string>;

struct load_case {
  std::string content;
  rows expected;  // the `data` values in row order
};

const std::string s999(999, 'a'), s1998(1998, 'b'), s2500(2500, 'c');

const load_case load_cases[] = {
    {"", {}},
    {"\n", {""}},
    {"a\n\nb\n\n", {"a", "", "b", ""}},
    {"a\r\nb\r\n", {"a", "b"}},
    {"a\r\r\n\n\r\n\r\rb\n\r", {"a", "", "", "\r\rb", ""}},
    {"a\rb\n", {"a\rb"}},
    {"a\rb\r", {"a\rb"}},
    {"first\nlast", {"first", "last"}},
    {s2500 + "\n", {s2500}},
    {s999 + "\n" + s1998 + "\n" + s999, {s999, s1998, s999}},
    {s999 + "\r\n" + s1998 + "\r", {s999, s1998}},
    {"it's 'quoted' ''\n", {"it's 'quoted' ''"}},
    {"  tab\tand spaces  \n", {"  tab\tand spaces  "}},
    {"\xff\xfe invalid \xc3(\n", {"\xff\xfe invalid \xc3("}},
    {std::string("a\0b\nc\r\0\nd\n", 10), {"a", "c", "d"}},
};

using load_text_file_test = scratch_test;

TEST_F(load_text_file_test, stores_one_row_per_line) {
  for (const load_case& c : load_cases) {
    SCOPED_TRACE(testing::PrintToString(c.content.substr(0, 40)));
    write_file("f", c.content);
    testing::internal::CaptureStderr();
    load_text_file("f");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(query("select data from f order by row"), c.expected);
    EXPECT_EQ(query("select count(*) from f where data is null or row not between 1 and " +
                    std::to_string(c.expected.size())),
              rows{"0"});
    query("drop table f");
  }
}

TEST_F(load_text_file_test, fills_the_table_named_after_the_file) {
  const std::pair<std::string, std::string> names[] = {
      {"it's.txt", "it''s.txt"}, {"a`b", "a`b"}, {"x` (a);drop table `y", "x` (a);drop table `y"}};
  query("create table y (a)");
  for (const auto& [name, stored] : names) {
    write_file(name, "line\n");
    testing::internal::CaptureStderr();
    load_text_file(name.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(query("select data from `" + double_backticks(stored) + "`"), rows{"line"});
  }
  EXPECT_EQ(query("select count(*) from sqlite_master"), rows{"5"});
}

TEST_F(load_text_file_test, refuses_an_existing_table_untouched) {
  query("create table f (keep); insert into f values ('old')");
  write_file("F", "new\n");
  testing::internal::CaptureStderr();
  load_text_file("F");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "SQL error: table `F` already exists\n");
  EXPECT_EQ(query("select * from f"), rows{"old"});
  EXPECT_TRUE(sqlite3_get_autocommit(scratch_db));
}

TEST_F(load_text_file_test, inside_the_users_transaction_reads_nothing_and_commits_it) {
  write_file("f", "line\n");
  query("create table mine (a); begin; insert into mine values ('typed')");
  testing::internal::CaptureStderr();
  load_text_file("f");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "SQL error: cannot start a transaction within a transaction\n");
  EXPECT_TRUE(sqlite3_get_autocommit(scratch_db));
  // A second connection sees only what was committed.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(scratch_db_name, &other), SQLITE_OK);
  std::swap(other, scratch_db);
  EXPECT_EQ(query("select * from mine"), rows{"typed"});
  EXPECT_EQ(query("select count(*) from f"), rows{"0"});
  std::swap(other, scratch_db);
  sqlite3_close(other);
}

TEST_F(load_text_file_test, reports_what_cannot_be_opened_or_read) {
  ASSERT_EQ(mkdir("sub", 0700), 0);
  const std::pair<const char*, const char*> failures[] = {
      {"sub", "Can't open sub\n"},
      {"missing", "Can't open missing\n"},
      {"/proc/self/mem", "Can't read /proc/self/mem\n"},
  };
  for (auto [name, message] : failures) {
    testing::internal::CaptureStderr();
    load_text_file(name);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
  }
  // A read error leaves the table, committed.
  EXPECT_EQ(query("select name from sqlite_master where type = 'table' and name != "
                  "'sqlite_sequence'"),
            rows{"/proc/self/mem"});
  EXPECT_TRUE(sqlite3_get_autocommit(scratch_db));
}

}  // namespace
