// The regular expression functions, through the engine: each row is an
// expression and what a select of it gives, or the statement's error.
#include "extensions/extensions.h"
#include "scratch_fixture.h"

namespace {

struct value_case {
  std::string expression;
  std::string value;  // "<null>" for NULL, "error: ..." for a refused statement
};

const value_case value_cases[] = {
    // Matching anywhere, through the operator and each function.
    {"'milk and bread' regexp 'milk'", "1"},
    {"'milk and bread' regexp 'tea'", "0"},
    {"regexp('^m', 'milk')", "1"},
    {"regexp_like('milk', 'k$')", "1"},
    {"regexp_substr('call 555-1234 or 555-9876', '\\d{3}-\\d{4}')", "555-1234"},
    {"regexp_substr('milk', '\\d')", "<null>"},
    {"quote(regexp_substr('milk', 'x*'))", "''"},
    // Groups: numbered, named, missing and not taking part.
    {"regexp_capture('key=value', '(\\w+)=(\\w+)', 2)", "value"},
    {"regexp_capture('key=value', '(\\w+)=(\\w+)', 0)", "key=value"},
    {"regexp_capture('key=value', '(?<k>\\w+)=', 1)", "key"},
    {"regexp_capture('key=value', '(\\w+)=(\\w+)', 3)", "<null>"},
    {"regexp_capture('key=value', '(\\w+)', -1)", "<null>"},
    {"regexp_capture('b', '(a)|(b)', 1)", "<null>"},
    {"regexp_capture('b', '(a)|(b)', 2)", "b"},
    {"quote(regexp_capture('b', '(x*)b', 1))", "''"},
    // Replacement: every match, references to groups, dollars, empty matches.
    {"regexp_replace('a-b-c', '-', '+')", "a+b+c"},
    {"regexp_replace('2026-11-02', '(\\d+)-(\\d+)-(\\d+)', '$3.$2.$1')", "02.11.2026"},
    {"regexp_replace('john smith', '(?<first>\\w+) (?<last>\\w+)', '${last}, ${first}')",
     "smith, john"},
    {"regexp_replace('cost 5', '\\d+', '$$$0')", "cost $5"},
    {"regexp_replace('b', '(a)?b', '[$1]')", "[]"},
    {"regexp_replace('milk', 'x', 'y')", "milk"},
    {"regexp_replace('abc', '', '-')", "-a-b-c-"},
    {"regexp_replace('axb', 'x*', '-')", "-a--b-"},
    {"regexp_replace('abc', '(?=b)|c', '!')", "a!b!"},
    {"length(regexp_replace(printf('%.1000c', 'a'), 'a', 'bcd'))", "3000"},
    {"length(regexp_replace('x', 'x', printf('%.300c', 'y')))", "300"},
    // NULL in any argument, even beside a bad pattern.
    {"null regexp 'a'", "<null>"},
    {"'a' regexp null", "<null>"},
    {"regexp_like(null, '(')", "<null>"},
    {"regexp_substr('a', null)", "<null>"},
    {"regexp_capture('a', '(a)', null)", "<null>"},
    {"regexp_replace('a', 'a', null)", "<null>"},
    {"regexp_replace(null, 'a', 'b')", "<null>"},
    // UTF-8: a dot is one character, letter case folds beyond ASCII.
    {"regexp_substr('h\xc3\xa9llo', 'h.l')", "h\xc3\xa9l"},
    {"regexp_substr('\xe6\x97\xa5\xe6\x9c\xac', '^.')", "\xe6\x97\xa5"},
    {"regexp_like('\xc3\x89"
     "COLE', '(?i)\xc3\xa9"
     "cole')",
     "1"},
    {"regexp_like('MILK', '(?i)milk')", "1"},
    // Invalid UTF-8 (a Latin-1 line) is searched; no character class takes
    // the bad byte, and replacing keeps it.
    {"cast(x'636166e9' as text) regexp 'caf'", "1"},
    {"regexp_like(cast(x'636166e9' as text), 'caf.')", "0"},
    {"regexp_like(cast(x'636166e9' as text), 'caf[^a]')", "0"},
    {"regexp_like(cast(x'e9616263' as text), '^abc')", "0"},
    {"hex(regexp_replace(cast(x'e9636166e9' as text), 'caf', 'CAF'))", "E9434146E9"},
    {"hex(regexp_replace(cast(x'61e962' as text), '', '-'))", "2D612DE92D622D"},
    {"hex(regexp_replace(cast(x'61e978' as text), 'x*', '-'))", "2D612DE92D2D"},
    // A long line is searched a stretch at a time; no stretch starts inside
    // a character.
    {"regexp_like(replace(printf('%.300c', 'a'), 'a', '\xe6\x97\xa5'), '(?<!\xe6\x97\xa5)(?!^)')",
     "0"},
    // A pattern searched in one call (anchored, at line starts, with \G or a
    // verb) takes callouts on a long text, without a change in what it finds;
    // one too large to take them is searched without.
    {"regexp_replace(printf('%.300c', 'a') || 'xa', '\\Ga', 'b') = printf('%.300c', 'b') || 'xa'",
     "1"},
    {"regexp_like(printf('%.300c', 'x') || 'abc', '(*COMMIT)abc')", "1"},
    {"length(regexp_replace(printf('%.300c', 'a') || 'b' || printf('%.300c', 'a'), "
     "'a+(*SKIP)b|a', '-'))",
     "301"},
    {"regexp_capture(printf('%.300c', 'x') || 'E', '^x+(?<e>E)$', 1) ||"
     " regexp_substr(printf('%.300c', 'x') || char(10) || 'a timeout', '.*timeout')",
     "Ea timeout"},
    {"(with recursive n(i) as (select 1 union all select i + 1 from n where i < 3000) select "
     "regexp_like(printf('%.300c', 'x') || 'w3000', '^x*(?:' || group_concat('w' || i, '|') || "
     "')$') from n)",
     "1"},
    // Numbers and blobs as their text, zero bytes included.
    {"regexp_like(12345, '^\\d+$')", "1"},
    {"regexp_substr(3.25, '\\.\\d+')", ".25"},
    {"regexp_replace(1000, '0', 'o')", "1ooo"},
    {"regexp_like(x'610062', 'a\\x00b')", "1"},
    {"hex(regexp_replace(x'610062', 'b', 'c'))", "610063"},
    // A constant pattern serves every row; one that varies is compiled anew.
    {"(select group_concat(regexp_substr(column1, '\\d+'), ',')"
     " from (values ('a1'), ('b22'), ('c'), ('333')))",
     "1,22,333"},
    {"(select group_concat(regexp_like('abc', column1), ',')"
     " from (values ('b'), ('x'), ('^a'), ('c$')))",
     "1,0,1,1"},
    // Deep backtracking outgrows the JIT's stack; the interpreter takes over.
    {"length(regexp_substr(replace(printf('%.100000c', 'a'), 'aa', 'ab'), '(a|b)*'))", "100000"},
    // Refusals.
    {"regexp_like('x', '(ab')", "error: missing closing parenthesis at offset 3"},
    {"'x' regexp 'a)'", "error: unmatched closing parenthesis at offset 1"},
    {"regexp_like('x', cast(x'61ff' as text))",
     "error: UTF-8 error: illegal byte (0xfe or 0xff) at offset 1"},
    {"regexp_replace('ab', 'a', '$3')", "error: unknown substring at offset 2 in the replacement"},
    {"regexp_replace('ab', 'a', '${nope}')",
     "error: unknown substring at offset 7 in the replacement"},
    {"regexp_replace('ab', 'a', '${1')",
     "error: expected closing curly bracket in replacement string at offset 3"},
    {"regexp_like(printf('%.60c', 'a') || 'b', '^(a|aa)+$')", "error: match limit exceeded"},
    {"regexp_replace('x' || printf('%.60c', 'a') || 'b', '^x|(a|aa)+$', '-')",
     "error: match limit exceeded"},
    {"regexp_capture('a', '(a)')", "error: wrong number of arguments to function regexp_capture()"},
};

struct regexp_test : scratch_test {
  void SetUp() override {
    scratch_test::SetUp();
    ASSERT_TRUE(register_regexp_functions(scratch_db));
  }
};

TEST_F(regexp_test, each_expression_gives_its_value) {
  for (const value_case& c : value_cases) {
    SCOPED_TRACE(c.expression);
    EXPECT_EQ(value_of(c.expression), c.value);
  }
}

}  // namespace
