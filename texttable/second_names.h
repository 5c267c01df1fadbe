// Second names of the scratch database. ATTACH can open the scratch
// database's own file again under another schema name: edits made through
// it would reach the watched tables unseen, and its journal would be kept by
// rules other than the run's own (emptied, never removed). So the watch
// refuses such an attach, and any statement that names one that got through
// (its file given by an expression, known only once it is open).
#pragma once

#include <sqlite3.h>

// Why a second name is refused, as the user is told.
inline constexpr const char second_name_refusal[] =
    " is this run's scratch database, open already as main; a second name for it is refused";

// Whether `file`, as an ATTACH names it (a path or a file: URI), leads to
// the file of `db`'s main database, by any path or link.
bool names_main_file(sqlite3* db, const char* file);

// Whether the schema `database` of `db` (main, temp or an attached one) is
// another name of main's file. Answers are kept until forget_schema_names.
bool is_second_name(sqlite3* db, const char* database);

// Forgets the answers: an attach or detach may change them.
void forget_schema_names();
