// Which tables hold edits that no save has written. A table loaded from a
// file, saved to one or made with `new` is watched from then on; a row of it
// inserted, updated or deleted, by any statement, committed or not, marks it
// until its next load or save. Tables made otherwise by SQL are the user's
// scratch work and are not watched. Names match as the engine matches them.
#pragma once

#include <sqlite3.h>

#include <string>

// Starts watching the row changes of `db`, with no table watched yet. Takes
// the engine's update, commit and rollback hooks and its authorizer.
void watch_table_edits(sqlite3* db);

// `table` was just loaded or made with `new`: watched, unedited, and last in
// the order that names are listed in.
void note_table_made(const char* table);

// `table` was just saved: its edits are written. A save into a file that
// keeps the text (`kept`, not a device or FIFO) also starts watching it.
void note_table_saved(const char* table, bool kept);

// The watched tables of the scratch database that hold unsaved edits, in the
// order they were loaded or made, separated by ", "; empty when none. A table
// no longer there (dropped, renamed) is forgotten.
std::string unsaved_table_names();
