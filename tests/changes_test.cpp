// changes(...) through the engine: a table of cases, each a file, what makes
// and edits its table and the rows a query of changes gives; then random
// edits, whose rows must be the lines `diff --minimal` prints.
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "extensions/extensions.h"
#include "os/os.h"
#include "scratch_fixture.h"
#include "texttable/texttable.h"

namespace {

// Files are written with the line end a save writes, LF on Linux and CR LF
// on Windows, unless a case is about another; "$" in the rows stands for the
// CR that a line's text then holds on Windows.
const std::string end(os_line_end);
const std::string other_end = end == "\n" ? "\r\n" : "\n";

std::string replaced(std::string text, char from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, 1, to);
  }
  return text;
}

std::string native(const std::string& lines) {
  return replaced(lines, '\n', end);
}

struct changes_case {
  const char* label;
  std::string file;  // loaded as table f, unless it is empty
  std::string sql;
  std::string arguments;  // of changes(...)
  std::string rows;       // change|file_line|table_line|text, or "error: ..."
};

std::string utf16(const std::u16string& text) {
  std::string bytes = "\xff\xfe";
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xff);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

std::vector<changes_case> changes_cases() {
  const std::string nine = native("1\n2\n3\n4\n5\n6\n7\n8\n9\n");
  const std::string found = other_end == "\r\n" ? "\r" : "";
  return {
      {"no file: every line added", "", "new n.txt; insert into `n.txt`(data) values ('a'), ('b')",
       "'n.txt'", "@|||-0,0 +1,2\n+||1|a$\n+||2|b$"},
      {"nothing to change", native("a\nb\n"), "", "'f'", ""},
      {"a line end the save changes", "a" + other_end + "b" + other_end, "", "'f'",
       "@|||-1,2 +1,2\n-|1||a" + found + "\n-|2||b" + found + "\n+||1|a$\n+||2|b$"},
      {"UTF-16 as its text", utf16(u"hi\r\ntwo\r\n"), "update f set data = 'HI' where row = 1",
       "'f'", "@|||-1,2 +1,2\n-|1||hi\r\n+||1|HI\r\n |2|2|two\r"},
      {"UTF-16 unchanged", utf16(u"hi\ntwo\n"), "", "'f'", ""},
      {"context 0: each change a hunk", nine, "update f set data = 'x' where row in (2, 4)",
       "'f', 0", "@|||-2 +2\n-|2||2$\n+||2|x$\n@|||-4 +4\n-|4||4$\n+||4|x$"},
      {"context 1: two changes with 2 lines between share a hunk", nine,
       "delete from f where row in (2, 5)", "'f', 1",
       "@|||-1,6 +1,4\n |1|1|1$\n-|2||2$\n |3|2|3$\n |4|3|4$\n-|5||5$\n |6|4|6$"},
      {"a last line without a line feed", native("x\ny"), "", "'f'",
       "@|||-1,2 +1,2\n |1|1|x$\n-|2||y\n\\|||No newline at end of file\n+||2|y$"},
      {"a value with a line feed is two lines, in the system's text mode", native("a\n"),
       "update f set data = 'b' || char(10) || 'c'", "'f'",
       "@|||-1 +1,2\n-|1||a$\n+||1|b$\n+||2|c$"},
      {"values laid out as a save lays them out", "",
       "create table `m.txt`(x, y, z); insert into `m.txt` values (1, null, 'c')", "'m.txt'",
       "@|||-0,0 +1\n+||1|1\t\tc$"},
      {"an emptied table", native("a\nb\n"), "delete from f", "'f'",
       "@|||-1,2 +0,0\n-|1||a$\n-|2||b$"},
      {"NULL arguments", "a\n", "delete from f", "null", ""},
      {"no such table", "", "", "'nope'", "error: no such table: nope"},
      {"bad context", "a\n", "", "'f', 'x'",
       "error: changes: the lines of context must be a whole number, 0 or more"},
      {"a directory", "", "new d", "'d'",
       "error: changes: d is a directory, which save can't write"},
  };
}

struct changes_test : scratch_test {
  void SetUp() override {
    scratch_test::SetUp();
    ASSERT_TRUE(add_sql_extensions(scratch_db));
    // Hundreds of loads, each a transaction: none of them needs the disk.
    query("pragma synchronous = off");
  }

  // Runs `sql` as the shell does: the commands new and load, and SQL.
  static void run(const std::string& sql) {
    size_t at = 0;
    while (at < sql.size()) {
      size_t stop = sql.find("; ", at);
      if (stop == std::string::npos) stop = sql.size();
      const std::string statement = sql.substr(at, stop - at);
      at = stop + 2;
      if (statement.starts_with("new ")) {
        create_text_table(statement.substr(4).c_str());
      } else {
        query(statement);
      }
    }
  }

  // The rows of changes(arguments), change|file_line|table_line|text, or its
  // error; each row's line must be what its other columns make.
  static std::string rows_of(const std::string& arguments) {
    const std::string rows = "(select * from changes(" + arguments + "))";
    const std::string found = value_of(
        "group_concat(change || '|' || coalesce(file_line, '') || '|' || "
        "coalesce(table_line, '') || '|' || text, char(10)) from " +
        rows);
    if (found.starts_with("error: ")) return found;
    EXPECT_EQ(value_of("count(*) from " + rows +
                       " where line is not case change when '@' then '@@ ' || text || ' @@' "
                       "when '\\' then '\\ ' || text else change || text end"),
              "0");
    return found == "<null>" ? "" : found;
  }
};

TEST_F(changes_test, cases) {
  std::filesystem::create_directory("d");
  for (const changes_case& c : changes_cases()) {
    SCOPED_TRACE(c.label);
    if (!c.file.empty()) {
      write_file("f", c.file);
      load_text_file("f");
    }
    run(c.sql);
    EXPECT_EQ(rows_of(c.arguments), replaced(c.rows, '$', end == "\n" ? "" : "\r"));
    query(
        "drop table if exists f; drop table if exists `n.txt`; drop table if exists `m.txt`;"
        "drop table if exists d");
    std::filesystem::remove("n.txt");
  }
}

#ifndef _WIN32
TEST_F(changes_test, a_fifo_or_a_device_is_not_read) {
  ASSERT_EQ(mkfifo("p", 0600), 0);
  create_text_table("p");
  EXPECT_EQ(rows_of("'p'"), "error: changes: p is a FIFO, which save writes to without reading it");
  create_text_table("/dev/zero");
  EXPECT_EQ(rows_of("'/dev/zero'"),
            "error: changes: /dev/zero is a device, which save writes to without reading it");
  // Found as a save finds it: a link to a FIFO leads to the FIFO.
  ASSERT_EQ(symlink("p", "to_p"), 0);
  create_text_table("to_p");
  EXPECT_EQ(rows_of("'to_p'"),
            "error: changes: to_p is a FIFO, which save writes to without reading it");
  create_text_table("/dev/stdout");
  EXPECT_EQ(rows_of("'/dev/stdout'"),
            "error: changes: /dev/stdout stands for a descriptor of plinth's own, which save "
            "writes to without reading it");
}

std::string lines_of(const std::vector<std::string>& lines, bool complete) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  if (!complete && !text.empty()) text.pop_back();
  return text;
}

// What diff prints after its two lines of names.
std::string diff_of(const std::string& a, const std::string& b, int context) {
  const std::string command = "diff --minimal -U" + std::to_string(context) + " " + a + " " + b;
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  pclose(pipe);
  for (int names = 0; names < 2 && !out.empty(); ++names) out.erase(0, out.find('\n') + 1);
  return out;
}

std::string changes_of(const std::string& table, int context) {
  std::string out;
  for (const std::string& line : scratch_test::query("select line from changes('" + table + "', " +
                                                     std::to_string(context) + ")")) {
    out += line + "\n";
  }
  return out;
}

// Random edits of random lines, few of them distinct so that many
// differences are equally short: the table's rows are set to the edited
// lines, and changes must print what diff prints for the two files.
TEST_F(changes_test, random_edits_as_diff_finds_them) {
  std::mt19937 random(20261209);
  for (int trial = 0; trial < 300; ++trial) {
    const int kinds = 2 + static_cast<int>(random() % 6);
    auto line = [&] { return std::string(1, static_cast<char>('a' + random() % kinds)); };
    std::vector<std::string> a(random() % (trial % 3 == 0 ? 200 : 30));
    for (std::string& l : a) l = line();
    std::vector<std::string> b = a;
    for (int edits = static_cast<int>(random() % 12); edits > 0; --edits) {
      const size_t at = random() % (b.size() + 1);
      if (random() % 3 == 0 || at == b.size()) {
        b.insert(b.begin() + static_cast<long>(at), line() + "+");
      } else if (random() % 2 == 0) {
        b.erase(b.begin() + static_cast<long>(at));
      } else {
        b[at] = line();
      }
    }
    const int context = static_cast<int>(random() % 5);
    SCOPED_TRACE("trial " + std::to_string(trial));
    write_file("a.txt", lines_of(a, trial % 7 != 0));
    write_file("b.txt", lines_of(b, true));
    load_text_file("a.txt");
    load_text_file("b.txt");
    query("delete from `a.txt`; insert into `a.txt`(data) select data from `b.txt` order by row");
    ASSERT_EQ(changes_of("a.txt", context), diff_of("a.txt", "b.txt", context));
    query("drop table `a.txt`; drop table `b.txt`");
  }
}

// So many different lines that the search leaves out the lines that match
// nothing, and the lines of a CR LF file saved with LF: both are still a
// shortest difference, here the only one.
TEST_F(changes_test, many_changes) {
  std::mt19937 random(7);
  std::vector<std::string> a(60000);
  for (size_t i = 0; i < a.size(); ++i) a[i] = std::to_string(i) + " " + std::to_string(random());
  std::vector<std::string> b = a;
  for (int k = 0; k < 6000; ++k) b[random() % b.size()] += " changed";
  write_file("a.txt", lines_of(a, true));
  write_file("b.txt", lines_of(b, true));
  load_text_file("a.txt");
  load_text_file("b.txt");
  query("delete from `a.txt`; insert into `a.txt`(data) select data from `b.txt` order by row");
  EXPECT_EQ(changes_of("a.txt", 3), diff_of("a.txt", "b.txt", 3));
  for (std::string& l : a) l += "\r";
  write_file("c.txt", lines_of(a, true));
  load_text_file("c.txt");
  EXPECT_EQ(value_of("count(*) from changes('c.txt') where change = '-'"), "60000");
  EXPECT_EQ(value_of("count(*) from changes('c.txt') where change = '+'"), "60000");
}
#endif

}  // namespace
