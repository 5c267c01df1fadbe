// What this run last read from each table's file or wrote to it, so that a
// save does not write over content the table never held. Kept in memory only,
// keyed by the table's name as the engine matches names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "os/os.h"
#include "texttable/utf16_text.h"

struct seen_file {
  std::string name;  // the file's name as typed at the load or save
  uint64_t device = 0;
  uint64_t inode = 0;
  file_type type = file_type::regular;  // a FIFO or device only once a refusal let it through
  int64_t size = 0;
  uint64_t hash = 0;                 // of its content
  bool hashed = false;               // its content could be read
  bool cut_at_zero = false;          // the load lost the text after a zero byte
  bool left_by_earlier_run = false;  // no file known: the table was in the scratch database
  text_form form;                    // how the table's text is written back
};

// Remembers `file` as the one table `table` holds.
void remember_seen_file(std::string_view table, const seen_file& file);

// Remembers that `table` was found in a scratch database an earlier run left.
void remember_leftover_table(std::string_view table);

// The file last remembered for `table`, or null.
const seen_file* find_seen_file(std::string_view table);

// The name `table` is typed by, from the name the engine holds it by:
// plinth's statements double each single quote of a typed name. False when
// the held name has a single quote that is not doubled, which no typed name
// gives.
bool typed_table_name(std::string_view held, std::string& typed);

// Forgets what was remembered for `table`, the zero byte accepted included.
void forget_seen_file(std::string_view table);

// The file as `status` describes it, its content not yet hashed.
seen_file seen_as(std::string_view name, const file_status& status);

// Whether `now` is another file than `seen`, or the same one changed.
bool changed_since_seen(const seen_file& seen, const seen_file& now);

// A save refused for a zero byte in row `row` of `table` writes when it finds
// the first zero byte there again.
void accept_zero_byte(std::string_view table, std::string_view row);
bool zero_byte_accepted(std::string_view table, std::string_view row);
