// Which tables hold unsaved edits, after lines typed as at the prompt.
#include "texttable/unsaved_edits.h"

#include "scratch_fixture.h"
#include "texttable/second_names.h"

namespace {

struct edits_case {
  std::vector<std::string> typed;
  std::string unsaved;
  std::string errors = "";    // on standard error
  std::string leftover = "";  // SQL of a scratch database an earlier run left
};

const std::string foreign_key = "SQL error: FOREIGN KEY constraint failed\n";
const std::string second_name =
    std::string("SQL error: ") + scratch_db_name + second_name_refusal + "\n";

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
    // What an explain would do, it does not.
    {{"load notes.txt", "load other.txt",
      "explain drop table `notes.txt`; update `notes.txt` set data = 'z'",
      "explain update `other.txt` set data = 'y'", "explain alter table `other.txt` add column c"},
     "notes.txt"},
    // A refused statement changes nothing: neither the drop, nor the rows it
    // deleted before the engine refused it.
    {{"pragma foreign_keys=on", "load notes.txt", "load other.txt",
      "create table c (n references `notes.txt`(row), o references `other.txt`(row))",
      "insert into c values (1, 1)", "drop table `other.txt`", "begin",
      "update `notes.txt` set data = 'z'", "drop table `notes.txt`", "commit"},
     "notes.txt",
     foreign_key + foreign_key},
    // A statement that fails part-way within a transaction puts back the
    // rows it changed; one whose rows a trigger changes, on a view, did.
    {{"load notes.txt", "load other.txt", "begin",
      "update `notes.txt` set data = iif(row = 2, json(data), 'z')",
      "create view v as select 1 as x",
      "create trigger t instead of insert on v begin update `other.txt` set data = 'y'; end",
      "insert into v values (1)", "commit"},
     "other.txt",
     "SQL error: malformed JSON\n"},
    // One that fails where the engine keeps what it changed before.
    {{"load notes.txt", "create unique index u on `notes.txt` (data)", "begin",
      "update or fail `notes.txt` set data = 'z'", "commit"},
     "notes.txt",
     "SQL error: UNIQUE constraint failed: notes.txt.data\n"},
    // The scratch database under a second name: refused, however named.
    {{"load notes.txt", "attach 'plinth.temp.htnilp' as s2",
      "attach 'file:./plinth.temp.htnilp?mode=ro' as s2",
      "attach ('plinth.temp.' || 'htnilp') as s3", "update s3.`notes.txt` set data = 'z'",
      "attach ':memory:' as s4", "create table s4.t (a)", "detach s4"},
     "",
     second_name + second_name + second_name},
    {{"load notes.txt", "load other.txt", "new t.txt", "alter table `notes.txt` add column c",
      "alter table `other.txt` rename column data to d", "alter table `t.txt` drop column data"},
     "notes.txt, other.txt, t.txt"},
    // Undone, a drop brings back the table as it was, edits and all.
    {{"load notes.txt", "update `notes.txt` set data = 'z'", "begin", "drop table `notes.txt`",
      "load notes.txt", "rollback"},
     "notes.txt"},
    {{"load notes.txt", "update `notes.txt` set data = 'z'", "begin", "drop table `notes.txt`",
      "new notes.txt", "rollback"},
     "notes.txt"},
    {{"load notes.txt", "begin", "drop table `notes.txt`", "load notes.txt",
      "update `notes.txt` set data = 'z'", "rollback"},
     ""},
    // A rollback to a savepoint names what changed since it, and only that.
    {{"load notes.txt", "load other.txt", "update `other.txt` set data = 'y'", "begin",
      "savepoint s", "save other.txt", "update `notes.txt` set data = 'z'", "save notes.txt",
      "explain rollback to s", "savepoint t", "rollback to S", "commit"},
     "notes.txt"},
    {{"load notes.txt", "savepoint s", "update `notes.txt` set data = 'z'", "save notes.txt",
      "release s"},
     ""},
    {{"load notes.txt", "begin", "savepoint s", "update `notes.txt` set data = 'z'", "release s",
      "save notes.txt", "rollback to s", "commit"},
     "",
     "SQL error: no such savepoint: s\n"},
    {{"update `it''s.txt` set data = 'z'"},
     "it's.txt",
     std::string(scratch_db_name) +
         " was left by a run that did not end; its tables are as that run left them: it''s.txt\n",
     "create table `it''s.txt` (row integer primary key autoincrement, data text);"
     "insert into `it''s.txt` (data) values ('stale');"},
};

using unsaved_edits_test = scratch_test;

TEST_F(unsaved_edits_test, names_the_tables_edited_since_their_load_or_save) {
  for (const edits_case& c : edits_cases) {
    SCOPED_TRACE(c.typed.back());
    sqlite3_close(scratch_db);
    leave_scratch_db();
    for (const char* name : {scratch_db_name, "s.txt"}) unlink(name);
    write_file("notes.txt", "a\nb\n");
    write_file("other.txt", "x\n");
    if (!c.leftover.empty()) {
      ASSERT_EQ(sqlite3_open(scratch_db_name, &scratch_db), SQLITE_OK);
      query(c.leftover);
      sqlite3_close(scratch_db);
    }
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(take_scratch_db());
    for (const std::string& line : c.typed) run_line(line + "\n");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.errors);
    EXPECT_EQ(unsaved_table_names(), c.unsaved);
  }
  leave_scratch_db();
}

}  // namespace
