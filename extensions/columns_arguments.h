// The arguments of columns(...): the text table's name, then header=yes|no
// and delimiter=X.
#pragma once

#include <string>
#include <string_view>

struct layout {
  char delimiter = ',';
  bool quoting = true;  // false when tab-separated: a field is all that lies between two tabs
};

struct arguments {
  std::string table;
  bool header = true;
  layout format;
};

// Reads the arguments of a create: argv[3] on, as the engine gives them. On
// refusal `error` says why.
bool parse_arguments(int argc, const char* const* argv, arguments& parsed, std::string& error);

// The text without blanks at either end.
std::string_view trim(std::string_view text);

bool same_ignoring_case(std::string_view a, std::string_view b);
