// Fields of a comma- or tab-separated line: split lazily, only as far as the
// fields asked for, and written back as csv_line writes a value.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "extensions/columns_arguments.h"
#include "extensions/csv.h"

inline constexpr std::string_view byte_order_mark = "\xef\xbb\xbf";

struct field_span {
  size_t start = 0;  // the field's first byte in the line
  csv_field field;
};

struct split_line {
  std::string_view line;
  size_t rest = 0;        // where the next field not yet split begins
  bool complete = false;  // every field of the line is split
  std::vector<field_span> fields;
};

// Where a line's first field begins: after a byte-order mark on the first
// line of the file.
size_t first_field_start(std::string_view line, bool first_line);

void start_split(split_line& split, std::string_view line, size_t from);

// Splits until field n (from 0) is known or the line has no more.
void split_to(split_line& split, size_t n, const layout& format);

// The value text of field n, unquoted into `buffer` when it must be; false
// when the line has fewer fields.
bool field_text(split_line& split, size_t n, const layout& format, std::string& buffer,
                std::string_view& text);

// Whether field n's quote is never closed, so that it takes the rest of the
// line: text after it would become part of it.
bool is_open(const split_line& split, size_t n, const layout& format);

// Appends the value as a field: as csv_line writes it, quoted only where it
// must be; tab-separated, as it is. A first field that begins with a
// byte-order mark is quoted too, so that it is not taken for the file's.
void append_field(std::string_view value, const layout& format, bool first, std::string& line);
