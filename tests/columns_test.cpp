// The columns module, through the engine, for what the example sessions of
// the README do not show: each row makes a text table of its lines, creates
// the virtual table `v` over it, runs statements and compares the rows of a
// query (or the statements' error) with what it should give.
#include <unistd.h>

#include <string>
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
    // Numbers only where the field is the engine's own text of one.
    {"t.csv", "n\n42\n-3\n13.5\n007\n1e3\n3.0\n 4\n\n-0\n9223372036854775808\n1.0e+20\n", "`t.csv`",
     "", "select group_concat(typeof(n), ' ') from v",
     "integer integer real text text text text text text text real"},
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
    // The columns stay those of the create after the header changes.
    {"t.csv", "a\n1\n", "`t.csv`",
     "update `t.csv` set data = 'z' where row = 1; begin; create table x(y); rollback",
     "select name from pragma_table_info('v')", "a"},
};

struct columns_test : scratch_test {
  // A new scratch database with the text table of the case.
  void fresh(const columns_case& c) {
    sqlite3_close(scratch_db);
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

}  // namespace
