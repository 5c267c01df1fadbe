// The columns module, through the engine, for what the example sessions of
// the README do not show: each row makes a text table of its lines, creates
// the virtual table `v` over it, runs statements and compares the rows of a
// query (or the statements' error) with what it should give.
#include <unistd.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "extensions/extensions.h"
#include "scratch_fixture.h"

namespace {

struct columns_case {
  std::string table;      // the text table's name
  std::string lines;      // its lines, each ended by '\n'
  std::string arguments;  // of columns(...)
  std::string sql;        // run after the create
  std::string query;      // its rows joined by '\n', its values by '|'
  std::string expected;   // after the create's or the statements' "error: ...", if any
};

const std::string text = "select data from `t.csv`";

const columns_case columns_cases[] = {
    // Names: unquoted, a byte-order mark dropped, empty and repeated names;
    // the table's name as SQL writes it.
    {"t.csv", "\xef\xbb\xbf\"a\",,A,a,c2\n", "'t.csv'", "",
     "select group_concat(name, ' ') from pragma_table_info('v')", "a c2 A_2 a_3 c2_2"},
    {"t.csv", "1,2\n1,2,3\n", "t.csv, header=no", "", "select * from v", "1|2|<null>\n1|2|3"},
    {"t.csv", "", "\"t.csv\"", "", "select name from pragma_table_info('v')", "c1"},
    // Numbers where the whole field is a decimal without a leading zero.
    {"t.csv", "n\n42\n-3\n13.5\n007\n1e3\n3.0\n 4\n\n-0\n9223372036854775808\n1.0e+20\n", "`t.csv`",
     "", "select group_concat(typeof(n), ' ') from v",
     "integer integer real text real real text text integer real real"},
    // An update writes the fields that changed, as csv_line would; the rest
    // keep their bytes, quotes and fields beyond the columns included.
    {"t.csv", "a,b\n\"x\",\"y\",z,\"w\"\n", "`t.csv`", "update v set a = a, b = 'y'", text,
     "a,b\n\"x\",\"y\",z,\"w\""},
    {"t.csv", "a,b,c\n\"x\",1\n", "`t.csv`", "update v set c = 'p,\"q\"', b = null", text,
     "a,b,c\n\"x\",,\"p,\"\"q\"\"\""},
    {"t.csv", "a;b\n1;2\n", "`t.csv`, delimiter=';'", "update v set b = 'x;y'", text,
     "a;b\n1;\"x;y\""},
    {"t.csv", "a|b\n1|2\n", "`t.csv`, delimiter=|, header=no", "", "select c2 from v", "b\n2"},
    {"t.csv", "a\tb\n\"1\t2\n", "`t.csv`, delimiter=tab", "", "select a from v", "\"1"},
    // Inserts after the last line or at a rowid after the header; deletes.
    {"t.csv", "a,b\n1,2\n", "`t.csv`",
     "insert into v values ('x', null); insert into v(rowid, b) values (9, 3)",
     "select row || ':' || data from `t.csv`", "1:a,b\n2:1,2\n3:x,\n9:,3"},
    {"t.csv", "a,b\n1,2\n", "`t.csv`", "insert into v(rowid, a) values (1, 0)", "",
     "error: columns: row 1 is not after the header line of t.csv (row 1)"},
    {"t.csv", "", "`t.csv`", "insert into v values ('x')", text, "c1\nx"},
    {"t.csv", "a\n1\n2\n", "`t.csv`", "delete from v where a = 1", text, "a\n2"},
    {"t.csv", "a,b\n1,\"x\"\n2,y\n", "`t.csv`",
     "update v set rowid = 7 where a = 1; insert or replace into v(rowid, a) values (3, 'z')",
     "select row || ':' || data from `t.csv`", "1:a,b\n3:z,\n7:1,\"x\""},
    // Without a header the first line is a row, its byte-order mark kept out
    // of its first value and in its line.
    {"t.csv",
     "\xef\xbb\xbf"
     "a,b\n",
     "`t.csv`, header=no", "update v set c2 = 'c' where c1 = 'a'",
     "select length(c1) || ' ' || hex(data) from v, `t.csv`", "1 EFBBBF612C63"},
    // A tab-separated line has no quotes, and holds no tab, CR or LF.
    {"t.TAB", "a\tb\n\"x\ty\"\n", "`t.TAB`", "", "select b from v", "y\""},
    {"t.tsv", "a\tb\n1\t2\n", "`t.tsv`", "update v set a = 'x' || char(13)", "",
     "error: columns: t.tsv is tab-separated: a value there can't hold a tab, CR or LF"},
    // A statement that fails on a later row, and a rollback, leave the lines
    // as they were, inside a transaction too.
    {"t.tsv", "a\n1\n2\n", "`t.tsv`",
     "begin; update v set a = a || 'y' where a = 2;"
     "update v set a = case a when 1 then 'x' else char(10) end",
     "select data from `t.tsv`",
     "error: columns: t.tsv is tab-separated: a value there can't hold a tab, CR or LF\n"
     "a\n1\n2y"},
    {"t.csv", "a\n1\n2\n", "`t.csv`", "begin; update v set a = a * 10; rollback", text, "a\n1\n2"},
    // Refusals name what they refuse.
    {"t.csv", "a\n", "`t.csv`, delimiter=;;", "", "",
     "error: columns: bad delimiter: delimiter=;; (one byte other than a double quote, or tab)"},
    {"t.csv", "a\n", "`t.csv`, head=no", "", "", "error: columns: unknown argument: head=no"},
    {"t.csv", "a\n", "`u.csv`", "", "",
     "error: columns: u.csv is not a text table (it needs the columns row and data)"},
    // Equality: a join on a built index gives what a join of copies gives,
    // text, numbers and text that stands for a number alike; the index
    // follows the lines as they change.
    {"t.csv", "k\n1\n01\n1.5\nx\n 1\n\n", "`t.csv`",
     "create temp table c as select * from v;"
     "create temp table n(i integer); insert into n values (1), (1.5), ('x')",
     "select (select group_concat(quote(k)) from (select v.k from n join v on v.k = n.i"
     " order by 1)) || ' ' || (select group_concat(quote(k)) from (select c.k from n join c"
     " on c.k = n.i order by 1)) || ' ' || (select group_concat(x.rowid) from v x join v y"
     " on x.k = y.k)",
     "1,1.5,' 1','01','x' 1,1.5,' 1','01','x' 2,3,4,5,6,7"},
    {"t.csv", "k\n1\n2\n1\n", "`t.csv`", "",
     "select (select group_concat(rowid) from v where k = 1) || ' ' ||"
     " (select group_concat(rowid) from v where k = 1.0)",
     "2,4 2,4"},
    {"t.csv", "k\na\nb\n", "`t.csv`",
     "create temp table n(k); insert into n values ('a'), ('b');"
     "select * from n join v using (k); update `t.csv` set data = 'b' where row = 2",
     "select group_concat(v.rowid) from n join v using (k)", "2,3"},
    // Numbers compare, sort, add up and join by their value; codes stay text.
    {"t.csv", "id,amount\n1,171.90\n2,8.00\n3,1e3\n4,-2\n5,.5\n6,007\n", "`t.csv`",
     "create temp table p(amount); insert into p values (8), (1000), ('007')",
     "select (select count(*) from v where amount > 9 and typeof(amount) = 'real') || ' ' ||"
     " (select group_concat(amount, ' ') from (select amount from v order by amount)) || ' ' ||"
     " (select sum(amount) from v where typeof(amount) <> 'text') || ' ' ||"
     " (select group_concat(id) from (select v.id from p join v using (amount) order by 1))",
     "2 -2 0.5 8.0 171.9 1000.0 007 1178.4 2,3,6"},
    // A value left equal, as the engine compares values, keeps its text; a
    // changed one is written as csv_line writes it.
    {"t.csv", "h,a\n8.00,171.90\n007,1e3\n", "`t.csv`",
     "update v set h = h, a = a * 1; update v set h = 8 where rowid = 2;"
     "update v set a = 1000 where rowid = 3",
     text, "h,a\n8.00,171.90\n007,1e3"},
    {"t.csv", "h,a,b\n8.00,7,x\n", "`t.csv`", "update v set h = 8.5, a = '7', b = 'x'", text,
     "h,a,b\n8.5,7,x"},
    // A quote never closed is closed when a field is written after it;
    // fields missing from a short line stay missing unless a later one is set.
    {"t.csv", "a,b,c\n\"abc,def\n1\n2\n", "`t.csv`",
     "update v set b = 'X' where rowid = 2; update v set a = 'Y' where rowid = 3;"
     "update v set c = 'Z' where rowid = 4",
     "select data || ' ' || quote(a) || quote(b) || quote(c) from `t.csv` join v on row = v.rowid",
     "\"abc,def\",X 'abc,def''X'NULL\nY 'Y'NULLNULL\n2,,Z 2'''Z'"},
    // One line is one row.
    {"t.csv", "a\n1\n", "`t.csv`", "update v set a = 'x' || char(10)", text,
     "error: columns: t.csv has one row per line: a value there can't hold CR or LF\na\n1"},
    // Lookups give what a scan gives after the text table is dropped and made
    // again under its name, and an update goes to the lines it finds.
    {"t.csv", "k,v\na,1\nb,2\na,3\n", "`t.csv`",
     "select * from v where k = 'a'; select * from v where k = 'a';"
     "create table keep as select * from `t.csv`; drop table `t.csv`;"
     "create table `t.csv` as select row + 10 as row, data from keep;"
     "update v set v = 9 where k = 'a'",
     "select (select group_concat(rowid) from v where k = 'a') || ' ' ||"
     " (select group_concat(data, ' ') from `t.csv`)",
     "12,14 k,v a,9 b,2 a,9"},
    {"t.csv", "k\na\nb\n", "`t.csv`",
     "create table other as select row, case row when 2 then 'b' else 'a' end as data"
     " from `t.csv`; select * from v where k = 'a'; select * from v where k = 'a';"
     "alter table `t.csv` rename to was; alter table other rename to `t.csv`",
     "select group_concat(rowid) from v where k = 'a'", "3"},
    // Numbers beyond a double are found by a lookup as by a scan; a text
    // only by the same text, the columns having no affinity.
    {"t.csv", "n\n1e400\n 1e400\n1\n8.00\n", "`t.csv`",
     "create temp table c as select * from v; create temp table r(x real);"
     "insert into r values (1e400), (1), (8); create temp table s(x text);"
     "insert into s values ('Inf'), ('8.0'), (' 1e400')",
     "select (select group_concat(i) from (select v.rowid as i from r join v on v.n = r.x"
     " order by 1)) || ' ' || (select group_concat(i) from (select c.rowid + 1 as i from r join c"
     " on c.n = r.x order by 1)) || ' ' || (select group_concat(i) from (select v.rowid as i"
     " from s join v on v.n = s.x order by 1)) || ' ' || (select group_concat(rowid) from v"
     " where n = 1e400) || (select group_concat(rowid) from v where n = 1e400)",
     "2,3,4,5 2,3,4,5 3 22"},
    // A text table that reads the columns table itself is refused, directly
    // or through another.
    {"t.csv", "a\n1\n", "`t.csv`",
     "create view w as select row, data from `t.csv`; create virtual table x using columns(w);"
     "drop view w; create view w as select rowid as row, a as data from x; select * from x",
     "select count(*) from v", "error: columns: x reads itself: its text table w reads it\n1"},
    {"t.csv", "a\n1\n", "`t.csv`",
     "create view w as select row, data from `t.csv`; create view u as select * from w;"
     "create virtual table x using columns(w); create virtual table y using columns(u);"
     "drop view u; drop view w; create view w as select rowid as row, a as data from y;"
     "create view u as select rowid as row, a as data from x; update x set a = 2",
     "", "error: columns: x reads itself: its text table w reads it"},
    // The columns stay those of the create after the header changes.
    {"t.csv", "a\n1\n", "`t.csv`",
     "update `t.csv` set data = 'z' where row = 1; begin; create table x(y); rollback",
     "select name from pragma_table_info('v')", "a"},
};

struct columns_test : scratch_test {
  // A new scratch database with the text table of the case.
  void fresh(const columns_case& c) {
    ASSERT_EQ(sqlite3_close(scratch_db), SQLITE_OK);
    unlink(scratch_db_name);
    ASSERT_EQ(sqlite3_open(scratch_db_name, &scratch_db), SQLITE_OK);
    ASSERT_TRUE(add_sql_extensions(scratch_db));
    std::string name = "`" + c.table + "`";
    query("create table " + name + " (row integer primary key autoincrement, data text)");
    sqlite3_stmt* insert = nullptr;
    const std::string sql = "insert into " + name + "(data) values (?)";
    ASSERT_EQ(sqlite3_prepare_v2(scratch_db, sql.c_str(), -1, &insert, nullptr), SQLITE_OK);
    for (size_t at = 0; at < c.lines.size();) {
      const size_t end = c.lines.find('\n', at);
      sqlite3_bind_text(insert, 1, c.lines.data() + at, static_cast<int>(end - at),
                        SQLITE_TRANSIENT);
      EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
      sqlite3_reset(insert);
      at = end + 1;
    }
    sqlite3_finalize(insert);
  }

  // The statements' error, if any, then the query's rows.
  static std::string outcome(const columns_case& c) {
    const std::string sql = "create virtual table v using columns(" + c.arguments + ");" + c.sql;
    char* message = nullptr;
    std::vector<std::string> lines;
    if (sqlite3_exec(scratch_db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      lines.push_back(std::string("error: ") + (message ? message : "?"));
    }
    sqlite3_free(message);
    if (!c.query.empty()) {
      for (const std::string& row : query(c.query)) lines.push_back(row);
    }
    std::string joined;
    for (const std::string& line : lines) joined += (joined.empty() ? "" : "\n") + line;
    return joined;
  }
};

TEST_F(columns_test, each_case_gives_its_rows) {
  for (const columns_case& c : columns_cases) {
    SCOPED_TRACE(c.arguments + "; " + c.sql + "; " + c.query);
    fresh(c);
    EXPECT_EQ(outcome(c), c.expected);
  }
}

// What a field's text is: each case its text, then '|' and its type and value
// as the grid shows it. A number is the one the engine reads from the same
// text in SQL, to the last bit.
// clang-format off
const char* const field_cases[] = {
    "42|integer 42", "-3|integer -3", "+5|integer 5", "-0|integer 0",
    "9223372036854775807|integer 9223372036854775807",
    "-9223372036854775808|integer -9223372036854775808",
    "9223372036854775808|real 9.22337203685478e+18", "8.00|real 8.0", "171.90|real 171.9",
    "3.0|real 3.0", "1e3|real 1000.0", "0.5|real 0.5", ".5|real 0.5", "-.5E+1|real -5.0",
    "0e5|real 0.0", "1e400|real Inf", "0.123314|real 0.123314", "0.7454152|real 0.7454152",
    "465.613664|real 465.613664", "73940699548562e-14|real 0.73940699548562",
    "1.5e-30|real 1.5e-30", "12345678901234567890.5|real 1.23456789012346e+19", "007|text 007",
    "00501|text 00501", "-01.5|text -01.5", " 4|text  4", "4 |text 4 ", "1,000|text 1,000",
    "$5|text $5", "5%|text 5%", "inf|text inf", "nan|text nan", "0x1A|text 0x1A", "5.|text 5.",
    "1e|text 1e", "-|text -", ".|text .", "1.2.3|text 1.2.3", "|text "};
// clang-format on

TEST_F(columns_test, field_texts_are_numbers_or_text) {
  std::string lines = "n\n";
  for (std::string_view c : field_cases) {
    const std::string_view text = c.substr(0, c.find('|'));
    lines +=
        text.find(',') == std::string::npos ? std::string(text) : '"' + std::string(text) + '"';
    lines += '\n';
  }
  fresh({"t.csv", lines, "", "", "", ""});
  query("create virtual table v using columns(`t.csv`)");
  int row = 1;
  for (std::string_view c : field_cases) {
    const std::string text(c.substr(0, c.find('|'))), value(c.substr(c.find('|') + 1));
    SCOPED_TRACE(text);
    const std::string at = " from v where rowid = " + std::to_string(++row);
    EXPECT_EQ(value_of("typeof(n) || ' ' || n" + at), value);
    if (value.starts_with("text")) continue;
    EXPECT_EQ(value_of("n = " + text + at), "1");
  }
}

// The fields of a line as they are written, and whether each is a quote never
// closed; read as csv_field reads them.
struct raw_field {
  std::string text;
  bool open = false;
};

std::vector<raw_field> raw_fields(std::string_view line) {
  std::vector<raw_field> fields;
  for (size_t at = 0;;) {
    raw_field& field = fields.emplace_back();
    size_t end = line.find(',', at);
    if (at < line.size() && line[at] == '"') {
      size_t close = at + 1;
      while ((close = line.find('"', close)) != std::string_view::npos && close + 1 < line.size() &&
             line[close + 1] == '"') {
        close += 2;
      }
      field.open = close == std::string_view::npos;
      end = field.open ? std::string_view::npos : line.find(',', close + 1);
    }
    end = std::min(end, line.size());
    field.text = line.substr(at, end - at);
    if (end == line.size()) return fields;
    at = end + 1;
  }
}

// Part n (from 0) of values joined by '|'.
std::string split_part(const std::string& values, size_t n) {
  size_t start = 0;
  for (; n > 0; --n) start = values.find('|', start) + 1;
  return values.substr(start, values.find('|', start) - start);
}

// For random lines, well-formed and not, and random edits of one field:
// the edited line reads back as the row, and every other field keeps its
// text where that can stand beside the new one.
TEST_F(columns_test, edited_lines_read_back_as_their_rows) {
  fresh({"t.csv", "a,b,c,d\n", "", "", "", ""});
  query("create virtual table v using columns(`t.csv`)");
  std::mt19937 random(20261209);
  auto pick = [&random](std::string_view from) { return from[random() % from.size()]; };
  const char* const names[] = {"a", "b", "c", "d"};
  query("begin");  // one transaction: no sync after each edit
  for (int trial = 0; trial < 3000; ++trial) {
    std::string line;
    for (size_t n = random() % 16; n > 0; --n) line += pick("ab,\" 1.0e-");
    const std::string row = std::to_string(trial + 2);
    query("insert into `t.csv`(row, data) values (" + row + ", '" + line + "')");
    const std::string fields = "quote(a) || '|' || quote(b) || '|' || quote(c) || '|' || quote(d)";
    const size_t edited = random() % 4;
    const int number = static_cast<int>(random() % 20000) - 10000;
    std::string text = "'";
    for (size_t n = random() % 6; n > 0; --n) text += pick("ab,\" 1.0e-");
    const std::string values[] = {"null", std::to_string(number / 10),
                                  std::to_string(number / 64.0), text + "'"};
    const std::string value = values[random() % 4];
    SCOPED_TRACE(line + " | " + names[edited] + " = " + value);
    const std::string at = " from v where rowid = " + row;
    const std::string before = value_of(fields + at);
    query("update v set " + std::string(names[edited]) + " = " + value + " where rowid = " + row);
    const std::string after = value_of(fields + at);
    const std::string written = value_of("data from `t.csv` where row = " + row);
    // The edited field is the value, or holds its text; the others read as
    // they did, but that one missing before the edited field is now empty.
    const std::string column = names[edited];
    EXPECT_EQ(value_of("(" + column + " = " + value + " and typeof(" + value +
                       ") <> 'text') or coalesce(csv_field(data, " + std::to_string(edited + 1) +
                       "), '') = coalesce(cast(" + value + " as text), '') from v join `t.csv`" +
                       " on row = v.rowid where row = " + row),
              "1")
        << written;
    const std::vector<raw_field> old = raw_fields(line);
    const std::vector<raw_field> now = raw_fields(written);
    const bool edited_empty = split_part(after, edited) == "NULL";
    // Set to NULL, a missing field stays missing.
    if (value == "null" && split_part(before, edited) == "NULL") {
      EXPECT_TRUE(edited_empty);
    }
    for (size_t i = 0; i < std::max<size_t>(4, old.size()); ++i) {
      if (i == edited) continue;
      if (i < 4) {
        std::string was = split_part(before, i), is = split_part(after, i);
        if (was == "NULL" && i < edited && !edited_empty) was = "''";
        EXPECT_EQ(is, was) << names[i] << " of " << written;
      }
      // A field keeps its text, unless its quote was never closed and a
      // field now follows it.
      if (i < old.size() && !(old[i].open && i < edited)) {
        ASSERT_LT(i, now.size()) << written;
        EXPECT_EQ(now[i].text, old[i].text) << written;
      }
    }
  }
  query("commit");
}
}  // namespace
