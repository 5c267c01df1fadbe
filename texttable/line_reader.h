// Reads a file one line at a time, in large blocks, keeping of each line only
// the text its row stores: what comes before its first zero byte, less a
// trailing run of CRs. The rest of a line is skipped without being kept, so
// memory stays within one block and the longest stored text, which a limit
// bounds.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "texttable/content_hash.h"
#include "texttable/utf16_text.h"

enum class line_status { line, end, too_long, no_memory, failed, interrupted };

struct line_reader {
  int fd = -1;
  size_t limit = 0;  // the longest stored text, in bytes
  std::unique_ptr<char[]> block;
  size_t begin = 0;  // the unread part of the block
  size_t end = 0;
  bool at_end = false;
  bool cut_at_zero = false;  // some line lost the text from a zero byte on
  content_hash hash;         // of every byte read, kept or not
  text_input text;           // the file's form, and UTF-16 yet to decode
  // A line that crosses blocks is gathered here, less its trailing CRs, which
  // are only counted until text follows them: a long run of them costs no
  // memory and can't make a line too long.
  std::unique_ptr<char, decltype(&free)> spill{nullptr, &free};
  size_t spill_length = 0;
  size_t spill_capacity = 0;
  size_t spill_crs = 0;
};

// A reader of the open descriptor `fd`, which it does not close.
line_reader make_line_reader(int fd, size_t limit);

// Sets `text` to the next line's stored text, zero-terminated and valid until
// the next call, and returns line; or says why there is none: the end of the
// file, a stored text longer than the limit, no memory for it, a failed read,
// or a Ctrl-C at a terminal.
line_status read_stored_line(line_reader& reader, const char*& text);
