#include <cstdio>
#include <cstring>

#include "os/os.h"
#include "shell/shell.h"
#include "texttable/caret_notation.h"

namespace {

// Whether anything was printed since the last reset: the header and rule
// come once per typed line, before whatever it prints first.
bool header_printed = false;

// Whether standard output is a terminal, where control characters show in
// caret notation.
bool at_terminal = false;

void write_out(const char* bytes, size_t length) {
  os_write_out({bytes, length});
}

// A cell at a terminal that holds a control character, or may.
void print_shown_cell(std::string_view text, bool is_row_column) {
  if (is_row_column) {
    size_t length = 0;
    show_controls(text, [&length](const char*, size_t piece) { length += piece; });
    if (length < 4) write_out("    ", 4 - length);
  }
  show_controls(text, write_out);
}

// A `row` column is right-aligned in a field of at least four characters.
void print_cell(const char* text, bool is_row_column) {
  if (text == nullptr) text = "NULL";
  if (!at_terminal && !is_row_column) {
    os_write_out(text);
    return;
  }
  size_t length = at_terminal ? plain_length(text) : strlen(text);
  if (text[length] != '\0') {
    print_shown_cell(text, is_row_column);
    return;
  }
  if (is_row_column && length < 4) write_out("    ", 4 - length);
  write_out(text, length);
}

bool is_row(const char* name) {
  return name != nullptr && name[0] == 'r' && name[1] == 'o' && name[2] == 'w' && name[3] == '\0';
}

void print_line(int column_count, char** cells, char** names) {
  for (int i = 0; i < column_count; ++i) {
    if (i > 0) {
      // Three characters cost less one by one than through a call that copies.
      os_put_out(' ');
      os_put_out('|');
      os_put_out(' ');
    }
    print_cell(cells[i], is_row(names[i]));
  }
  os_put_out('\n');
}

}  // namespace

void set_printer_terminal(bool terminal) {
  at_terminal = terminal;
}

int print_row(void* user_value, int column_count, char** values, char** names) {
  if (user_value == reinterpret_cast<void*>(1)) {
    header_printed = false;
    return 0;
  }
  // Under the empty-result-callbacks pragma every statement calls back, even
  // one that yields no columns (an insert, the pragma itself): it has no grid.
  if (column_count == 0) return 0;
  // With the engine's empty-result-callbacks pragma on, a statement without
  // rows calls once with no values: it shows the header and the rule alone,
  // and only when nothing of the line came before it.
  if (!header_printed) {
    print_line(column_count, names, names);
    static const char rule[] =
        "------------------------------------------------------------------------\n";
    os_write_out(rule);
    header_printed = true;
  }
  if (values != nullptr) print_line(column_count, values, names);
  return 0;
}
