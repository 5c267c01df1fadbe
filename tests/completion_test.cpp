// What Tab offers for a line, worked out without a terminal.
#include "shell/completion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using words = std::vector<std::string>;

struct kind_case {
  std::string before_cursor;
  completion_kind kind;
};

const kind_case kind_cases[] = {
    {"load ", completion_kind::file},
    {"load no", completion_kind::file},
    {"  LOAD `my no", completion_kind::file},
    {"new da", completion_kind::file},
    {"save ", completion_kind::table},
    {"Save `my", completion_kind::table},
    {"load", completion_kind::sql},  // no space yet: still the word itself
    {"load\tno", completion_kind::sql},
    {"loader x", completion_kind::sql},
    {"", completion_kind::sql},
    {"sel", completion_kind::sql},
    {"select * from ", completion_kind::sql_table},
    {"select * FROM no", completion_kind::sql_table},
    {"select * from `no", completion_kind::sql_table},
    {"select * from `my no", completion_kind::sql_table},
    {"select a from t join ", completion_kind::sql_table},
    {"insert into ", completion_kind::sql_table},
    {"update x", completion_kind::sql_table},
    {"drop table `a.", completion_kind::sql_table},
    {"select * from t where ", completion_kind::sql},
    {"select * from `notes.txt` where da", completion_kind::sql},
    {"select * from t, ", completion_kind::sql},
    {"select `from", completion_kind::sql},
    {"select * from(", completion_kind::sql},
    {"select fromage", completion_kind::sql},
    {"select x.from ", completion_kind::sql_table},
    {"create virtual table v using columns(", completion_kind::sql_table},
    {"create virtual table v using COLUMNS ( no", completion_kind::sql_table},
    {"create virtual table v using columns(`my no", completion_kind::sql_table},
    {"create virtual table v using columns(t, ", completion_kind::sql},
    {"create virtual table v using my_columns(", completion_kind::sql},
    {"select count(", completion_kind::sql},
};

TEST(completion, kind_follows_command_word_and_sql_keyword) {
  for (const kind_case& c : kind_cases) {
    SCOPED_TRACE(c.before_cursor);
    EXPECT_EQ(completion_kind_at(c.before_cursor), c.kind);
  }
}

struct identifier_case {
  std::string name;
  bool plain;
};

const identifier_case identifier_cases[] = {
    {"notes", true},      {"_x9", true},          {"Notes_2", true},
    {"notes.txt", false}, {"my notes", false},    {"9lives", false},
    {"", false},          {"select", false},      {"Order", false},
    {"a`b", false},       {"caf\xc3\xa9", false},
};

TEST(completion, plain_identifiers_are_words_that_are_not_keywords) {
  for (const identifier_case& c : identifier_cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_plain_identifier(c.name), c.plain);
  }
}

const words tables = {"notes.txt", "notes", "my notes.txt", "Numbers", "a`b", "order"};

struct names_case {
  completion_kind kind;
  std::string typed;
  bool quoted;
  words expected;
};

const names_case names_cases[] = {
    {completion_kind::sql_table, "no", false, {"`notes.txt`", "notes"}},
    {completion_kind::sql_table, "NO", false, {"`notes.txt`", "notes"}},
    {completion_kind::sql_table, "`no", false, {"`notes.txt`"}},
    {completion_kind::sql_table, "no", true, {"notes", "notes.txt"}},
    {completion_kind::sql_table, "my", false, {"`my notes.txt`"}},
    {completion_kind::sql_table, "my n", true, {"my notes.txt"}},
    {completion_kind::sql_table, "n", false, {"Numbers", "`notes.txt`", "notes"}},
    {completion_kind::sql_table, "a", false, {"`a``b`"}},
    {completion_kind::sql_table, "a", true, {"a``b"}},
    {completion_kind::sql_table, "or", false, {"`order`"}},
    {completion_kind::sql_table, "x", false, {}},
    {completion_kind::sql,
     "",
     false,
     {"Numbers", "`a``b`", "`my notes.txt`", "`notes.txt`", "`order`", "notes"}},
    {completion_kind::table, "no", false, {"notes", "notes.txt"}},
    {completion_kind::table, "NO", false, {}},
    {completion_kind::table, "my", false, {"`my notes.txt`"}},
    {completion_kind::table, "my", true, {"my notes.txt"}},
    {completion_kind::table, "a", false, {"a`b"}},
};

TEST(completion, names_are_written_as_they_must_be_typed) {
  for (const names_case& c : names_cases) {
    SCOPED_TRACE(testing::Message()
                 << static_cast<int>(c.kind) << " " << c.typed << " " << c.quoted);
    EXPECT_EQ(complete_names(c.kind, c.typed, c.quoted, tables), c.expected);
  }
}

struct keyword_case {
  std::string typed;
  words expected;
};

const keyword_case keyword_cases[] = {
    {"sel", {"select"}},       {"SEL", {"SELECT"}}, {"Sel", {"SELECT"}}, {"sEL", {"select"}},
    {"wh", {"when", "where"}}, {"UPD", {"UPDATE"}}, {"xyz", {}},
};

TEST(completion, keywords_come_from_the_engine_in_the_typed_case) {
  for (const keyword_case& c : keyword_cases) {
    SCOPED_TRACE(c.typed);
    EXPECT_EQ(complete_keywords(c.typed), c.expected);
  }
}

const words functions = {"regexp", "regexp_like", "regexp_replace", "replace", "->>", "substr"};

const keyword_case function_cases[] = {
    {"regexp_r", {"regexp_replace"}},
    {"REGEXP_", {"REGEXP_LIKE", "REGEXP_REPLACE"}},
    {"Re", {"REGEXP", "REGEXP_LIKE", "REGEXP_REPLACE", "REPLACE"}},
    {"sub", {"substr"}},
    {"-", {}},
    {"x", {}},
};

TEST(completion, functions_are_offered_in_the_typed_case_operators_left_out) {
  for (const keyword_case& c : function_cases) {
    SCOPED_TRACE(c.typed);
    EXPECT_EQ(complete_functions(c.typed, functions), c.expected);
  }
}

TEST(completion, empty_word_offers_every_keyword_in_upper_case) {
  words all = complete_keywords("");
  EXPECT_GT(all.size(), 100u);
  EXPECT_NE(std::find(all.begin(), all.end(), "SELECT"), all.end());
  EXPECT_EQ(std::find(all.begin(), all.end(), "select"), all.end());
}

TEST(completion, word_breaks_keep_file_names_whole_but_split_sql) {
  std::string file = completion_word_breaks(completion_kind::file);
  std::string sql = completion_word_breaks(completion_kind::sql);
  EXPECT_EQ(file.find('.'), std::string::npos);
  EXPECT_EQ(file.find('/'), std::string::npos);
  EXPECT_NE(file.find(' '), std::string::npos);
  EXPECT_NE(sql.find('.'), std::string::npos);
  EXPECT_NE(sql.find('('), std::string::npos);
  EXPECT_EQ(sql.find('_'), std::string::npos);
}

}  // namespace
