// The result grid: one header per typed line, `row` columns padded.
#include "scratch_fixture.h"

namespace {

const std::string rule(72, '-');

struct grid_case {
  std::string sql;
  std::string printed;
};

const grid_case grid_cases[] = {
    {"select 1 where 0", ""},
    {"select 1 as a, 'x' as b union all select 2, 'y'; select 3 as c, 'z' as d;",
     "a | b\n" + rule + "\n1 | x\n2 | y\n3 | z\n"},
    {"create table t (a); select 1 as a where 0; insert into t values (1); select 5 as b",
     "b\n" + rule + "\n5\n"},
    {"select 'v' as data, 7 as row, 8 as row",
     "data |  row |  row\n" + rule + "\nv |    7 |    8\n"},
    {"select 7 as Row, 8 as ROW, 9 as rows", "Row | ROW | rows\n" + rule + "\n7 | 8 | 9\n"},
    {"select 123456 as row", " row\n" + rule + "\n123456\n"},
    {"select null as a, 'NULL' as b", "a | b\n" + rule + "\nNULL | NULL\n"},
    {"select 'only'", "'only'\n" + rule + "\nonly\n"},
    {"select '' as a, '' as row, '' as b", "a |  row | b\n" + rule + "\n |      | \n"},
    {"pragma empty_result_callbacks = 1; select 1 as a, 2 as row where 0",
     "a |  row\n" + rule + "\n"},
    {"pragma empty_result_callbacks = 1; create table u (a); insert into u values (1)", ""},
    // Under that pragma too, one header per line, before whatever comes first.
    {"pragma empty_result_callbacks = 1; select 1 as a where 0; select 2 as b",
     "a\n" + rule + "\n2\n"},
    {"pragma empty_result_callbacks = 1; select 1 as a; select 2 as b where 0; select 3 as c",
     "a\n" + rule + "\n1\n3\n"},
    {"pragma empty_result_callbacks = 1; select 1 as a where 0; select 2 as b where 0",
     "a\n" + rule + "\n"},
};

using printer_test = scratch_test;

std::string run_printed(const std::string& sql) {
  print_row(reinterpret_cast<void*>(1), 0, nullptr, nullptr);
  testing::internal::CaptureStdout();
  EXPECT_EQ(sqlite3_exec(scratch_db, sql.c_str(), print_row, nullptr, nullptr), SQLITE_OK);
  return testing::internal::GetCapturedStdout();
}

TEST_F(printer_test, prints_a_grid_per_typed_line) {
  for (const grid_case& c : grid_cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(run_printed(c.sql), c.printed);
    query("drop table if exists t; drop table if exists u; pragma empty_result_callbacks = 0");
  }
}

TEST_F(printer_test, shows_a_null_name_and_a_header_again_after_a_reset) {
  char value[] = "v";
  char* values[] = {value};
  char* names[] = {nullptr};
  testing::internal::CaptureStdout();
  EXPECT_EQ(print_row(reinterpret_cast<void*>(1), 0, nullptr, nullptr), 0);
  EXPECT_EQ(print_row(nullptr, 1, values, names), 0);
  EXPECT_EQ(print_row(nullptr, 1, values, names), 0);
  print_row(reinterpret_cast<void*>(1), 0, nullptr, nullptr);
  print_row(nullptr, 1, values, names);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "NULL\n" + rule + "\nv\nv\nNULL\n" + rule + "\nv\n");
}

// At a terminal a name or value shows its control characters in caret
// notation; elsewhere the grid carries its bytes as they are.
struct shown_case {
  std::string bytes;
  std::string shown;
};

const shown_case shown_cases[] = {
    {"GET /\x1b[2J\x1b[31mALL CLEAR\x1b[0m", "GET /^[[2J^[[31mALL CLEAR^[[0m"},
    {"a\rb\nc\a\x01\x1f\x7f\td", "a^Mb^Jc^G^A^_^?\td"},
    // C1 controls in UTF-8, then lone bytes: alone, after a cut character, in
    // a surrogate and in an overlong form.
    {"\xc2\x9bK \xc2\x80", "\\u009bK \\u0080"},
    {"\x9bK \xe2\x82 \xed\xa0\x80 \xc0\x80", "\\x9bK \xe2\\x82 \xed\xa0\\x80 \xc0\\x80"},
    {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xff\xa0",
     "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xff\xa0"},
};

std::string printed_alone(std::string name, std::string value, bool terminal) {
  char* names[] = {name.data()};
  char* values[] = {value.data()};
  set_printer_terminal(terminal);
  print_row(reinterpret_cast<void*>(1), 0, nullptr, nullptr);
  testing::internal::CaptureStdout();
  print_row(nullptr, 1, values, names);
  set_printer_terminal(false);
  return testing::internal::GetCapturedStdout();
}

TEST(printer, shows_control_characters_only_at_a_terminal) {
  for (const shown_case& c : shown_cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(printed_alone(c.bytes, c.bytes, true), c.shown + "\n" + rule + "\n" + c.shown + "\n");
    EXPECT_EQ(printed_alone(c.bytes, c.bytes, false),
              c.bytes + "\n" + rule + "\n" + c.bytes + "\n");
  }
  // A `row` field is filled to four characters as they show.
  EXPECT_EQ(printed_alone("row", "\r", true), " row\n" + rule + "\n  ^M\n");
}

}  // namespace
