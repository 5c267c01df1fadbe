// The console: the scratch database, the command loop and the result grid.
#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>

#include "os/os.h"
#include "os/scratch_names.h"

// The one engine connection of a run, on a file in the current directory that
// exists only while the run lasts.
extern sqlite3* scratch_db;

inline constexpr const char prompt[] = "sql> ";

// Opens scratch_db on the user's own scratch database, made 0600 when absent,
// and holds it for this run alone. A link, a file that is not regular,
// another user's, not a database or in use by another run is refused, and
// left as it is, with "Can't open database: ..." and false. The tables of
// one that a run left behind are named on standard error, and marked so
// that a save of theirs over a file is refused once. Edits of the tables are
// watched from the open on.
bool take_scratch_db();
// Makes the engine settings of a run, silently; one the engine refused (the
// database locked by another run) is tried again at the next call.
void apply_engine_settings();

// The engine's per-row callback for typed SQL: prints a header and a rule
// before the first row after a reset, then one line per row. A call with the
// user value 1 is the reset. Always returns 0.
int print_row(void* user_value, int column_count, char** values, char** names);
// Whether standard output is a terminal; decided once, before the first row.
// At a terminal the grid shows control characters in caret notation, so that
// no value or column name can drive the terminal; elsewhere it prints the
// bytes as they are.
void set_printer_terminal(bool terminal);

// Splits a typed line into a command word and its argument: `word` `name`
// (backticks, the name may hold spaces) or `word name`. False when the line
// has no such shape.
bool parse_command(std::string_view line, std::string& word, std::string& argument);

// Handles one typed line, its line feed included. False when it asks to quit.
bool run_line(std::string_view line);

// Whether the run ends after a line; `leaving` when the line asked to quit or
// the input ended. Where a person types (`typed`: standard input is a
// terminal, wherever the output goes), leaving while a table holds unsaved
// edits is refused once, naming the tables on standard error; leaving again
// on the very next line ends the run, and any other line between asks again.
bool run_ends(bool leaving, bool typed);

void show_help();
