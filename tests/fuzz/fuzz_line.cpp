// Any typed line: the parse finds a name only inside the line, and handling
// the line never crashes. Files are never touched: `load` and `save` only
// check the name they are given.
#include <stdint.h>

#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "texttable/texttable.h"

namespace {

std::string_view current_line;

void expect_within_line(const char* name) {
  if (*name == '\0' || current_line.find(name) == std::string_view::npos) abort();
}

}  // namespace

void load_text_file(const char* name) {
  expect_within_line(name);
}
void save_text_table(const char* name) {
  expect_within_line(name);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quiet_standard_streams();
  enter_fresh_directory(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A read line holds one line feed at most, at its end.
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t end = input.find('\n');
  const std::string line(input.substr(0, end == std::string_view::npos ? size : end + 1));
  current_line = line;

  std::string word;
  std::string argument;
  if (parse_command(line, word, argument)) {
    if (word.empty() || argument.empty()) abort();
    if (line.find(word) == std::string::npos || line.find(argument) == std::string::npos) abort();
  }
  open_scratch_db();
  run_line(line);
  close_scratch_db();
  return 0;
}
