// Naming and quoting of text tables: whatever the name, the create statement
// makes exactly one table of that name and runs nothing else.
#include <algorithm>

#include "scratch_fixture.h"
#include "texttable/texttable.h"

namespace {

struct name_case {
  std::string name;    // as the user gives it
  std::string stored;  // the table's name inside the database
};

const name_case name_cases[] = {
    {"notes.txt", "notes.txt"},
    {"data/notes.txt", "data/notes.txt"},
    {"my notes.txt", "my notes.txt"},
    {"it's.txt", "it''s.txt"},
    {"a`b", "a`b"},
    {"`", "`"},
    {"``", "``"},
    {"x` (a);drop table `y", "x` (a);drop table `y"},
    {"x`(data);drop table y;--", "x`(data);drop table y;--"},
    {"y` (a); create table `z", "y` (a); create table `z"},
    {"q'); drop table y; --", "q''); drop table y; --"},
    {"\"y\"", "\"y\""},
};

using text_table_test = scratch_test;

TEST_F(text_table_test, creates_exactly_the_named_table) {
  const std::string tables = "select name from sqlite_master where name != 'sqlite_sequence'";
  query("create table y (a); create table z (a)");
  for (const name_case& c : name_cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    EXPECT_EQ(create_text_table(c.name.c_str()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::vector<std::string> names = query(tables), expected{c.stored, "y", "z"};
    std::sort(names.begin(), names.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
    engine_string columns = own(
        sqlite3_mprintf("select name, type, pk from pragma_table_info('%q')", c.stored.c_str()));
    EXPECT_EQ(query(columns.get()), (std::vector<std::string>{"row|INTEGER|1", "data|TEXT|0"}));
    query("drop table `" + double_backticks(c.stored) + "`");
  }
}

TEST_F(text_table_test, refuses_an_existing_or_reserved_name) {
  ASSERT_EQ(create_text_table("t"), 1);
  query("insert into t (data) values ('kept')");
  const std::pair<const char*, const char*> refused[] = {
      {"t", "SQL error: table `t` already exists\n"},
      {"T", "SQL error: table `T` already exists\n"},
      {"sqlite_x", "SQL error: object name reserved for internal use: sqlite_x\n"},
  };
  for (auto [name, message] : refused) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(create_text_table(name), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
  }
  EXPECT_EQ(query("select * from t"), std::vector<std::string>{"1|kept"});
}

}  // namespace
