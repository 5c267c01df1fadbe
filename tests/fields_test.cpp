// The field functions, through the engine: each row is an expression and what
// a select of it gives, or the statement's error. The table-valued splits are
// read through subqueries over the table `lines`.
#include "extensions/extensions.h"
#include "scratch_fixture.h"

namespace {

struct value_case {
  std::string expression;
  std::string value;  // "<null>" for NULL, "error: ..." for a refused statement
};

const value_case value_cases[] = {
    // Parts between delimiters, from either end.
    {"split_part('a,b,c', ',', 2)", "b"},
    {"split_part('a::b::c', '::', -1)", "c"},
    {"quote(split_part('a,b', ',', 3)) || quote(split_part('a,b', ',', -3))", "''''"},
    {"split_part('aaa', 'aa', -1)", "a"},
    {"split_part('abc', '', 1) || split_part('abc', '', -1) || split_part('abc', '', 2)", "abcabc"},
    {"split_part('a,b', ',', 0)", "error: split_part: field position must not be zero"},
    {"split_part(12.5, '.', 2) || split_part('caf\xc3\xa9|x', '|', 1)", "5caf\xc3\xa9"},
    {"coalesce(split_part(null, ',', 1), split_part('a', null, 1), split_part('a', ',', null))",
     "<null>"},
    // Blank-separated fields.
    {"field(' \talpha  beta\t', 2) || '|' || field('a b c', -1) || '|' || field(' a b ', 0)",
     "beta|c| a b "},
    {"quote(field('a b', 3)) || quote(field('a b', -3)) || quote(field('', 1))", "''''''"},
    {"field_count(' a  b\tc ') || field_count('') || field_count(' \t ')", "300"},
    {"coalesce(field(null, 1), field('a', null), field_count(null))", "<null>"},
    // CSV fields and lines.
    {"csv_field('a,\"b,\"\"c\"\"\",d', 2) || '|' || csv_field('a,\"b\",', 3)", "b,\"c\"|"},
    {"coalesce(csv_field('a,b', 3), csv_field('a,b', 0), csv_field(null, 1))", "<null>"},
    {"csv_field('x,\"open,rest', 2) || '|' || csv_field('\"ab\"cd,e', 1)", "open,rest|abcd"},
    {"csv_field('\"\"\"', 1) || '|' || csv_field('\"a\"\"b', 1)", "\"|a\"b"},
    {"csv_field('a;\"b;c\"', 2, ';') || csv_field_count('a;b', ';') || csv_field_count('a,b', ';')",
     "b;c21"},
    {"csv_field('a', 1, ';;')",
     "error: csv_field: delimiter must be a single-byte character other than a double quote"},
    {"csv_field_count('a,\"b,c\",') || csv_field_count('')", "31"},
    {"csv_line('a', 'b,c', 'say \"hi\"', null, 2.5, 'x' || char(13, 10))",
     "a,\"b,c\",\"say \"\"hi\"\"\",,2.5,\"x\r\n\""},
    {"(select group_concat(csv_line(csv_field(column1, 1), csv_field(column1, 2)) = column1)"
     " from (values ('a,b'), ('\"x,y\",\"\"\"\"'), (',')))",
     "1,1,1"},
    // Table-valued splits, joined with a table and with arguments of each row.
    {"(select group_concat(l.row || ':' || s.n || s.value, ' ') from lines l,"
     " string_to_table(l.data, ',') s)",
     "1:1a 1:2 1:3b c 2:1 x 3:1p q r s"},
    {"(select count(*) from string_to_table('', ',')) ||"
     " (select group_concat(value) from string_to_table('a,b', ''))",
     "0a,b"},
    {"(select group_concat(l.row || ':' || s.value, ' ') from lines l"
     " join regexp_split_to_table(l.data, l.pattern) s)",
     "1:a 1: 1:b c 2: 2:x 3:p 3:q 3:r 3:s"},
    {"(select group_concat(s.value, '|') from lines l, regexp_split_to_table(l.data, '[, ]+') s)",
     "a|b|c||x|p|q|r|s"},
    {"(select group_concat(value, '|') from regexp_split_to_table('\xc3\xa9\xe6\x97\xa5', ''))",
     "\xc3\xa9|\xe6\x97\xa5"},
    {"(select count(*) from regexp_split_to_table(printf('%.60c', 'a') || 'b', '^(a|aa)+$'))",
     "error: match limit exceeded"},
    {"(select group_concat(value, '|') from regexp_split_to_table('hi you', '\\s*'))", "h|i|y|o|u"},
    {"(select group_concat(quote(value), '|') from regexp_split_to_table(',a,', ','))",
     "''|'a'|''"},
    {"(select count(*) from string_to_table(null, ','), regexp_split_to_table('a', null))", "0"},
    {"(select count(*) from regexp_split_to_table('a', '('))",
     "error: missing closing parenthesis at offset 1"},
    {"(select count(*) from string_to_table('a'))",
     "error: wrong number of arguments to function string_to_table()"},
};

struct fields_test : scratch_test {
  void SetUp() override {
    scratch_test::SetUp();
    ASSERT_TRUE(add_sql_extensions(scratch_db));
    query(
        "create table lines (row integer primary key, data text, pattern text);"
        "insert into lines values (1, 'a,,b c', ','), (2, ' x', ' '), (3, 'p q r s', ' ');");
  }
};

TEST_F(fields_test, each_expression_gives_its_value) {
  for (const value_case& c : value_cases) {
    SCOPED_TRACE(c.expression);
    EXPECT_EQ(value_of(c.expression), c.value);
  }
}

}  // namespace
