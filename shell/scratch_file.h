// Which files the scratch database may be kept in: its own file, taken for
// one run alone, and the files the engine keeps beside it, each this user's
// own private file. Decided here once for every system, over what os/
// says of the files.
#pragma once

#include <string>

#include "os/scratch_file.h"

enum class scratch_found { taken, refused, vanished };

// Opens the file of scratch_db_name, made the user's own and private when
// absent (`created`), locks it for this run alone and holds it, for
// leave_scratch_db to remove. Refused, with `reason`, when it is not this
// user's own regular file with one name, holds no database, is in use by
// another run, or a side file is not acceptable; vanished when it was
// removed meanwhile (try again).
scratch_found take_scratch_file(scratch_handle& file, bool& created, std::string& reason);
// Whether the name still gives `file`.
bool scratch_file_still_named(scratch_handle file);

// How the engine is about to open a file beside a database.
enum class side_open : uint8_t {
  existing,  // only when it is there (to read a journal left behind)
  create,    // made when absent
  new_file,  // made here and now: the name must be free
};
// Readies the file `name` beside a database for the engine to open: made
// as a private file of this user's where absent (and asked for), else
// accepted only when it is this user's own regular file with one name, not
// a link, which is then made private. `facts` says which file it is: the
// engine's open must find that one. False, with `reason`, otherwise.
bool ready_side_file(const char* name, side_open how, scratch_facts& facts, std::string& reason);

// Whether the file `name` beside a database is absent or one that
// ready_side_file would take as it is. False, with `reason`, otherwise.
bool side_file_acceptable(const char* name, std::string& reason);

// The name of the engine's file system that opens the scratch database:
// the system's own, but each file it opens beside a database passes through
// ready_side_file first. Null when it can't be registered.
const char* scratch_vfs_name();
