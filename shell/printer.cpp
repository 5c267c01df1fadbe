#include <cstdio>
#include <cstring>

#include "shell/shell.h"

namespace {

// Rows printed since the last reset; 0 means the header is still to come.
int rows_printed = 0;

// A `row` column is right-aligned in a field of at least four characters.
void print_cell(const char* text, bool is_row_column) {
  if (text == nullptr) text = "NULL";
  if (is_row_column) {
    for (size_t length = strlen(text); length < 4; ++length) putchar(' ');
  }
  fputs(text, stdout);
}

bool is_row(const char* name) { return name != nullptr && strcmp(name, "row") == 0; }

void print_line(int column_count, char** cells, char** names) {
  for (int i = 0; i < column_count; ++i) {
    if (i > 0) fputs(" | ", stdout);
    print_cell(cells[i], is_row(names[i]));
  }
  putchar('\n');
}

}  // namespace

int print_row(void* user_value, int column_count, char** values, char** names) {
  if (user_value == reinterpret_cast<void*>(1)) {
    rows_printed = 0;
    return 0;
  }
  if (rows_printed == 0) {
    print_line(column_count, names, names);
    static const char rule[] =
        "------------------------------------------------------------------------\n";
    fputs(rule, stdout);
  }
  // With the engine's empty-result-callbacks pragma on, a statement without
  // rows calls once with no values: it shows the header and the rule alone.
  if (values == nullptr) return 0;
  print_line(column_count, values, names);
  ++rows_printed;
  return 0;
}
