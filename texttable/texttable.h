// Text tables: one table per text file, one row per line.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>

// An engine-allocated string (a built statement, an error message), released
// with sqlite3_free on every path.
using engine_string = std::unique_ptr<char, decltype(&sqlite3_free)>;

inline engine_string own(char* s) {
  return engine_string(s, &sqlite3_free);
}

// Creates the empty table `name` with the columns `row` and `data`. Returns 1
// when the table was created, 0 after reporting why the engine refused it.
int create_text_table(const char* name);

// Reads the file `name` into a new text table of the same name, one row per
// line. Failures are reported on standard error.
void load_text_file(const char* name);

// Writes every row of table `name` to the file of the same name, one line per
// row, cells separated by tabs, a leading `row` column left out.
void save_text_table(const char* name);

// Shared by the operations above and the shell.

// Flushes standard output first, so that output captured into one stream keeps
// its order, then writes the message on standard error.
void print_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Whether standard error is a terminal; decided once, at start. There each
// message shows control characters in caret notation, as the grid does, all
// but its line end; elsewhere it goes byte for byte.
void set_error_terminal(bool terminal);

// Runs a statement that returns no rows. On refusal prints "SQL error: ..." and
// returns false. A null statement is one that could not be built for want of
// memory; it is reported as such and not run.
bool run_statement(const char* sql);

// Prints the engine's message for a refused statement and releases it.
void report_sql_error(char* message);

// The name as it goes between the backticks of a statement before "%q" is
// applied: each backtick doubled, so no name can end the quoted identifier.
std::string double_backticks(std::string_view name);

// The text table's create statement for `name`, or null when out of memory.
engine_string text_table_statement(const char* name);
