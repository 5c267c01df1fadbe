// How a typed line splits into a command word and its argument.
#include <gtest/gtest.h>

#include <string>

#include "shell/shell.h"

namespace {

struct parse_case {
  std::string line;
  bool parsed;
  std::string word;
  std::string argument;
};

const std::string long_name(5000, 'n');
const std::string long_word(600, 'w');

const parse_case parse_cases[] = {
    {"load notes.txt\n", true, "load", "notes.txt"},
    {"LOAD notes.txt\n", true, "LOAD", "notes.txt"},
    {"  load notes.txt\n", true, "load", "notes.txt"},
    {"load\tnotes.txt\n", false, "", ""},
    {"load `my notes.txt`\n", true, "load", "my notes.txt"},
    {"load my notes.txt\n", true, "load", "my"},
    {"load `my notes.txt\n", true, "load", "my notes.txt"},
    {"load `my notes.txt\r\n", true, "load", "my notes.txt"},
    {"load `a\rb\r\r\n", true, "load", "a\rb"},
    {"load `my notes.txt", true, "load", "my notes.txt"},
    {"load ``\n", true, "load", "``"},
    {"load `\n", true, "load", "`"},
    {"load `a` `b`\n", true, "load", "a"},
    {"load `a`trailing words\n", true, "load", "a"},
    {"load`notes.txt`\n", false, "", ""},
    {"select * from t\n", true, "select", "*"},
    {"load\n", false, "", ""},
    {"save \n", false, "", ""},
    {"new\n", false, "", ""},
    {"\n", false, "", ""},
    {"", false, "", ""},
    {"new    \t  x y\n", true, "new", "x"},
    {"save x`y\n", true, "save", "x`y"},
    {"load " + long_name + "\n", true, "load", long_name},
    {"load `" + long_name + " " + long_name + "`\n", true, "load", long_name + " " + long_name},
    {long_word + " x\n", true, long_word, "x"},
    {std::string("load a\0b\n", 9), true, "load", "a"},
    {std::string("lo\0ad a\n", 8), false, "", ""},
};

TEST(parse_command, splits_lines_into_word_and_argument) {
  for (const parse_case& c : parse_cases) {
    std::string word;
    std::string argument;
    bool parsed = parse_command(c.line, word, argument);
    SCOPED_TRACE(testing::Message() << "line: " << testing::PrintToString(c.line.substr(0, 60)));
    EXPECT_EQ(parsed, c.parsed);
    if (parsed) {
      EXPECT_EQ(word, c.word);
      EXPECT_EQ(argument, c.argument);
    }
  }
}

}  // namespace
