// Loading a file: one row per line, however long, line ends stripped.
#include <fcntl.h>
#include <sys/stat.h>

#include "fault_checks.h"
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
    {"\xfe\xfe invalid \xc3(\n", {"\xfe\xfe invalid \xc3("}},
    {"\xff", {"\xff"}},  // half of a UTF-16 mark is text
    {std::string("a\0b\nc\r\0\nd\n", 10), {"a", "c", "d"}},
    // Lines that cross the reader's 64 KiB blocks, and what crosses with them.
    {std::string(65535, 'a') + "\r\nb\n", {std::string(65535, 'a'), "b"}},
    {std::string(65534, 'a') + std::string("\0\0", 2) + std::string(70000, 'z') + "\nq\n",
     {std::string(65534, 'a'), "q"}},
    {"x" + std::string(140000, '\r') + "y\n", {"x" + std::string(140000, '\r') + "y"}},
    {"x" + std::string(140000, '\r') + "\n\r", {"x", ""}},
    {std::string("x\0", 2) + std::string(140000, 'z') + "\r\n", {"x"}},
    {std::string(200000, 'w'), {std::string(200000, 'w')}},
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

TEST_F(load_text_file_test, inside_the_users_transaction_belongs_to_it) {
  write_file("f", "line\n");
  for (const char* end : {"commit", "rollback"}) {
    SCOPED_TRACE(end);
    query("begin; create table mine (a); insert into mine values ('typed')");
    testing::internal::CaptureStderr();
    load_text_file("f");
    load_text_file("f");  // refused, and undone alone
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "SQL error: table `f` already exists\n");
    EXPECT_FALSE(sqlite3_get_autocommit(scratch_db));
    EXPECT_EQ(query("select data from f"), rows{"line"});
    query(end);
    const rows kept = std::string(end) == "commit" ? rows{"f", "mine"} : rows{};
    EXPECT_EQ(query("select name from sqlite_master where name in ('f', 'mine') order by 1"), kept);
    query("drop table if exists f; drop table if exists mine");
  }
}

struct limit_case {
  std::string content;
  rows expected;
  const char* err;
};

// The engine's length limit, lowered to 1000 bytes (a row's record must fit
// in it too): a stored text longer than that ends the load, which leaves no
// table. Text after a zero byte and trailing CRs are not stored, so they do
// not count.
const std::string s900(900, 'l'), s1001(1001, 'l');
const char too_big[] = "SQL error: string or blob too big\n";
const limit_case limit_cases[] = {
    {s900 + "\nshort\n", {s900, "short"}, ""},
    {"first\n" + s1001 + "\nnever\n", {}, too_big},
    {"first\n" + std::string(200000, 'l') + "\nnever\n", {}, too_big},
    {s900 + std::string(200000, '\r') + "\nnext\n", {s900, "next"}, ""},
    {"x" + std::string(200000, '\r') + "y\nnever\n", {}, too_big},
    {s900 + std::string(1, '\0') + std::string(200000, 'z') + "\nok\n", {s900, "ok"}, ""},
};

TEST_F(load_text_file_test, ends_at_a_line_longer_than_the_engine_takes) {
  sqlite3_limit(scratch_db, SQLITE_LIMIT_LENGTH, 1000);
  for (const limit_case& c : limit_cases) {
    SCOPED_TRACE(testing::PrintToString(c.content.substr(0, 40)));
    write_file("f", c.content);
    testing::internal::CaptureStderr();
    load_text_file("f");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(query(*c.err ? "select name from sqlite_master where name = 'f'"
                           : "select data from f order by row"),
              c.expected);
    EXPECT_TRUE(sqlite3_get_autocommit(scratch_db));
    query("drop table if exists f");
  }
}

struct undone_case {
  const char* label;
  std::string on_scratch_db;  // run before the load
  std::string on_other;       // run on a second connection kept open during the load
  const char* err;
};

// A load that does not finish leaves no table, so no save can write a part of
// the file over all of it.
const undone_case undone_cases[] = {
    {"a full database, which the engine rolls back",
     // Room for the table and its sequence, not for its rows.
     "pragma max_page_count = 5", "", "SQL error: database or disk is full\n"},
    {"a commit refused while another connection reads", "", "begin; select * from sqlite_master",
     "SQL error: database is locked\n"},
};

TEST_F(load_text_file_test, leaves_no_table_when_it_does_not_finish) {
  write_file("f", numbered_lines(20000));
  for (const undone_case& c : undone_cases) {
    SCOPED_TRACE(c.label);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(scratch_db_name, &other), SQLITE_OK);
    query(c.on_scratch_db);
    ASSERT_EQ(sqlite3_exec(other, c.on_other.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    testing::internal::CaptureStderr();
    load_text_file("f");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_TRUE(sqlite3_get_autocommit(scratch_db));
    sqlite3_close(other);
    query("pragma max_page_count = 1073741823");
    EXPECT_EQ(query("select count(*) from sqlite_master where name = 'f'"), rows{"0"});
    // Nothing is left in the way of loading it again.
    testing::internal::CaptureStderr();
    load_text_file("f");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(query("select count(*) from f"), rows{"20000"});
    query("drop table f");
  }
}

// The user's own in-place backups beside the file, or beside the file its
// link leads to, under any of its names, are named, the oldest first, and
// left; other names, a link, a directory and another user's file are not
// taken for one.
TEST_F(load_text_file_test, names_the_backups_of_a_save_cut_short) {
  ASSERT_EQ(mkdir("sub", 0700), 0);
  ASSERT_EQ(mkdir("sub/.f.txt.plinth-dir000", 0700), 0);
  ASSERT_EQ(symlink("f.txt", "sub/.f.txt.plinth-link00"), 0);
  ASSERT_EQ(symlink("sub/f.txt", "link.txt"), 0);
  const std::string files[] = {"f.txt", ".f.txt.plinth-9zZ0aA", ".f.txt.plinth-000000",
                               ".f.txt.plinth-Ab12C", ".f.txt.plinth-Ab-2Cd",
                               // what a replacing save killed before its rename leaves
                               ".f.txt.plinth-new-Ab12Cd", ".g.txt.plinth-Ab12Cd",
                               geteuid() == 0 ? ".f.txt.plinth-other0" : ""};
  for (time_t i = 0; i < static_cast<time_t>(std::size(files)) && !files[i].empty(); ++i) {
    write_file("sub/" + files[i], "text\n");
    const timespec times[2] = {{1000, 0}, {1000 + i, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, ("sub/" + files[i]).c_str(), times, 0), 0);
  }
  if (geteuid() == 0) {
    ASSERT_EQ(chown("sub/.f.txt.plinth-other0", 65534, 65534), 0);
  }
  // A backup away from the file, or one whose name had no room for the
  // file's, is known by the file's volume and number; another file's is not
  // this one's, and a bare name in the temporary directory is nobody's.
  struct stat info;
  ASSERT_EQ(stat("sub/f.txt", &info), 0);
  char identity[40];
  snprintf(identity, sizeof identity, "%llx-%llx-", static_cast<unsigned long long>(info.st_dev),
           static_cast<unsigned long long>(info.st_ino));
  ASSERT_EQ(link("sub/f.txt", "sub/h.txt"), 0);
  const std::string temporary = dir + "/tmp";
  ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0);
  const std::string away[] = {
      temporary + "/.f.txt.plinth-" + identity + "Tmp000",
      "sub/.plinth-" + std::string(identity) + "Short0", temporary + "/.f.txt.plinth-1-2-Other0",
      temporary + "/.f.txt.plinth-Bare00",
      // made beside another name of the same file
      "sub/.h.txt.plinth-" + std::string(identity) + "Linked", "sub/.g.txt.plinth-1-2-Other1",
      // beside this name, for the file it had before
      "sub/.f.txt.plinth-1-2-Before"};
  for (time_t i = 0; i < static_cast<time_t>(std::size(away)); ++i) {
    write_file(away[i], "text\n");
    const timespec times[2] = {{1000, 0}, {2000 + i, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, away[i].c_str(), times, 0), 0);
  }
  const char* old_temporary = getenv("TMPDIR");
  const std::string kept_temporary = old_temporary != nullptr ? old_temporary : "";
  setenv("TMPDIR", temporary.c_str(), 1);
  for (const std::string typed : {"sub/f.txt", "link.txt"}) {
    testing::internal::CaptureStderr();
    load_text_file(typed.c_str());
    const std::string said = typed + ": a save of it was cut short; its old content is in ";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              said + "sub/.f.txt.plinth-9zZ0aA\n" + said + "sub/.f.txt.plinth-000000\n" + said +
                  away[0] + "\n" + said + away[1] + "\n" + said + away[4] + "\n" + said + away[6] +
                  "\n");
    EXPECT_EQ(query("select data from `" + typed + "`"), rows{"text"});
  }
  if (old_temporary != nullptr) {
    setenv("TMPDIR", kept_temporary.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  EXPECT_TRUE(file_exists("sub/.f.txt.plinth-9zZ0aA"));
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
  // A read error leaves no table.
  EXPECT_EQ(query("select name from sqlite_master where type = 'table' and name != "
                  "'sqlite_sequence'"),
            rows{});
  EXPECT_TRUE(sqlite3_get_autocommit(scratch_db));
}

}  // namespace
