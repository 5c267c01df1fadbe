// Which tables hold unsaved edits, after lines typed as at the prompt.
#include "texttable/unsaved_edits.h"

#include "scratch_fixture.h"

namespace {

struct edits_case {
  std::vector<std::string> typed;
  std::string unsaved;
};

const edits_case edits_cases[] = {
    {{"load notes.txt", "new todo.txt", "begin", "load other.txt", "commit"}, ""},
    {{"load notes.txt", "load other.txt", "update `other.txt` set data = 'y'",
      "insert into `notes.txt` (data) values ('c')"},
     "notes.txt, other.txt"},
    {{"load notes.txt", "begin", "delete from `NOTES.TXT`", "rollback"}, "notes.txt"},
    {{"new t.txt", "load notes.txt", "insert into `t.txt` (data) values ('x')"}, "t.txt"},
    {{"load notes.txt", "delete from `notes.txt` where row = 1", "save NOTES.TXT"}, ""},
    {{"load notes.txt", "begin", "update `notes.txt` set data = 'z'", "save notes.txt", "rollback"},
     "notes.txt"},
    {{"load notes.txt", "load other.txt", "update `notes.txt` set data = 'z'",
      "update `other.txt` set data = 'z'", "drop table `notes.txt`",
      "create view `notes.txt` as select 1", "drop view `notes.txt`",
      "create view `notes.txt` as select 1", "alter table `other.txt` rename to o"},
     ""},
    {{"create table `s.txt` as select 1 as data", "insert into `s.txt` values (2)",
      "create table `/dev/stdout` (data)", "save /dev/stdout", "delete from `/dev/stdout`"},
     ""},
    {{"create table `s.txt` (data)", "save s.txt", "insert into `s.txt` values (2)"}, "s.txt"},
    // Its name holds the quote twice.
    {{"new it's.txt", "insert into `it''s.txt` (data) values (1)"}, "it's.txt"},
    // A table made again by SQL after its drop is scratch work; a drop or a
    // load rolled back leaves things as they were.
    {{"load notes.txt", "drop table `notes.txt`", "create table `notes.txt` (data)",
      "insert into `notes.txt` values (1)"},
     ""},
    {{"load notes.txt", "begin", "drop table `notes.txt`", "rollback",
      "update `notes.txt` set data = 'z'"},
     "notes.txt"},
    {{"begin", "load other.txt", "rollback", "create table `other.txt` (x)",
      "insert into `other.txt` values (1)"},
     ""},
    {{"load notes.txt", "attach ':memory:' as other", "create table other.`notes.txt` (data)",
      "insert into other.`notes.txt` values (1)", "create temp table `notes.txt` (data)",
      "delete from temp.`notes.txt`"},
     ""},
};

using unsaved_edits_test = scratch_test;

TEST_F(unsaved_edits_test, names_the_tables_edited_since_their_load_or_save) {
  for (const edits_case& c : edits_cases) {
    SCOPED_TRACE(c.typed.back());
    sqlite3_close(scratch_db);
    for (const char* name : {scratch_db_name, "s.txt"}) unlink(name);
    write_file("notes.txt", "a\nb\n");
    write_file("other.txt", "x\n");
    ASSERT_EQ(sqlite3_open(scratch_db_name, &scratch_db), SQLITE_OK);
    watch_table_edits(scratch_db);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    for (const std::string& line : c.typed) run_line(line + "\n");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(unsaved_table_names(), c.unsaved);
  }
}

}  // namespace
