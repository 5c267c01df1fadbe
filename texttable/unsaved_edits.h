// Which tables hold edits that no save has written. A table loaded from a
// file, saved to one or made with `new` is watched from then on; a row of it
// inserted, updated or deleted, or a column added, dropped or renamed, by any
// statement, committed or not, marks it until its next load or save. Tables
// made otherwise by SQL are the user's scratch work and are not watched.
// Names match as the engine matches them.
//
// The watch follows each statement the engine runs: what it would do is
// learnt as the engine compiles it (an `explain` runs nothing), and counts
// once it has run to its end; a statement the engine refused changed nothing.
// A table dropped or renamed away takes what this run saw of its file with
// it (seen_files.h); a rollback, or one to a savepoint, brings back the
// table, its edits and that record as they were.
#pragma once

#include <sqlite3.h>

#include <string>

// Starts watching the row changes of `db`, with no table watched yet. Takes
// the engine's update, commit and rollback hooks, its trace of statements
// and its authorizer.
void watch_table_edits(sqlite3* db);

// `table` was just loaded or made with `new`: watched, unedited, and last in
// the order that names are listed in. Call before its seen file changes: a
// rollback gives the table back the one it had.
void note_table_made(const char* table);

// `table` was just saved: its edits are written. A save into a file that
// keeps the text (`kept`, not a device or FIFO) also starts watching it.
void note_table_saved(const char* table, bool kept);

// Whether the watch follows each statement (true, as it starts). A load
// turns it off for its inserts, which fill a table not yet watched: a
// million of them need not each be followed. Only statements that change no
// watched table and make none go may run unfollowed.
void follow_statements(bool follow);

// Settles what the statements run since the last call did; call after
// running typed SQL, outside the engine's callbacks. Whether the last of them
// ran to its end is known only here: a drop or rename whose table is still
// there was refused. Returns why the watch refused a statement, when it did
// (the engine then says only "not authorized"), or nothing.
std::string settle_table_edits();

// The watched tables of the scratch database that hold unsaved edits, in the
// order they were loaded or made, separated by ", "; empty when none. A table
// no longer there is forgotten.
std::string unsaved_table_names();
