// What this run last read from each table's file or wrote to it, so that a
// save does not write over content the table never held. Kept in memory only,
// keyed by the table's name as the engine matches names.
#pragma once

#include <sys/stat.h>

#include <string_view>

struct seen_file {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified = {};
  bool cut_at_zero = false;  // the load lost the text after a zero byte
};

// Remembers the file described by `info` as the one table `table` holds.
void remember_seen_file(std::string_view table, const struct stat& info, bool cut_at_zero);

// The file last remembered for `table`, or null.
const seen_file* find_seen_file(std::string_view table);

// Forgets what was remembered for `table`.
void forget_seen_file(std::string_view table);

// The file described by `info`, as a record.
seen_file seen_as(const struct stat& info, bool cut_at_zero = false);

// Whether `info` describes another file than `seen`, or the same one changed.
bool changed_since_seen(const seen_file& seen, const struct stat& info);
