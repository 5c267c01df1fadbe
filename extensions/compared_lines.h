// The two sides that changes(...) compares, read a line at a time from their
// start, as often as needed: the file a save of a table writes to, its lines
// as the loader decodes them, and the table's lines as the save lays them
// out. Neither is held whole: a line is valid until the next is read.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "texttable/content_hash.h"
#include "texttable/utf16_text.h"

// The hash by which lines are compared. Two different lines share a 64-bit
// hash by a chance of one in 2^64 for each pair compared, far below that of
// a fault in the memory that holds them. A last line without a line feed is
// another line than the same text with one.
uint64_t line_hash(std::string_view line, bool complete);

// The file a save of `name` writes to, opened to be read: the one place that
// decides which file that is. `fd` is -1 when the name leads to no file,
// which the save makes. False, with the reason in `error`, for what a save
// writes without reading it or can't write, which is not opened.
bool open_saved_file(const char* name, int& fd, std::string& error);

// A file's lines, a file with a UTF-16 byte-order mark as its UTF-8 text.
struct file_lines {
  int fd = -1;  // -1: no file, so no lines
  int64_t offset = 0;
  text_input in;
  content_hash hash;  // of no use here, but read_text takes one
  std::unique_ptr<char[]> block;
  size_t begin = 0;
  size_t end = 0;
  bool at_end = false;
  std::string gathered;  // a line that crosses blocks
  int64_t number = 0;    // the lines given so far
};

enum class read_result { line, end, failed, no_memory };

// Reads the file `r.fd` from its start. False for want of memory.
bool start_file_lines(file_lines& r);

// The next line without its line feed; `complete` is false for a last line
// that has none.
read_result next_file_line(file_lines& r, std::string_view& line, bool& complete);

// A table's lines: its rows in the order a save reads them, each laid out as
// the save lays it out, ended by `line_end`, split at line feeds.
struct table_lines {
  sqlite3_stmt* rows = nullptr;  // finalized by its owner
  bool skip_row = false;
  std::string_view line_end;
  bool utf16 = false;  // the file is UTF-16: its values' line feeds stay as they are
  std::vector<const char*> values;
  std::string text;  // the current row, laid out
  size_t begin = 0;
  int64_t number = 0;  // the lines given so far
};

// Reads the table `name` of `db` from its first row. False with the
// engine's message in `error`.
bool start_table_lines(sqlite3* db, const std::string& name, table_lines& t, std::string& error);

// Reads the same table from its first row again.
void restart_table_lines(table_lines& t);

// The next line, without its line feed: SQLITE_ROW, SQLITE_DONE, or the
// engine's refusal.
int next_table_line(table_lines& t, std::string_view& line);
