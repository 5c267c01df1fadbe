// One CSV field read from a line, and one value written as a field: shared
// by the field functions and the columns module, so that both read and
// write a line alike.
#pragma once

#include <cstddef>
#include <string_view>

// Fields are separated by a one-byte delimiter; a field that begins with a
// double quote runs to the quote that closes it, doubled quotes standing for
// one, and a quote left open takes the rest of the line.
struct csv_field {
  std::string_view inside;  // unquoted, or what stands between the quotes
  std::string_view after;   // text between a closing quote and the delimiter
  bool doubled = false;     // whether `inside` holds doubled quotes
  size_t end = 0;           // where the field ends: at a delimiter or the line's end
};

// The field that begins at byte `start` of `line`.
csv_field scan_csv_field(std::string_view line, size_t start, char delimiter);

// Whether the field's value is `inside` as it stands, with nothing to undo.
inline bool is_plain(const csv_field& field) {
  return !field.doubled && field.after.empty();
}

// Writes the field's value, its doubled quotes made single, at `out`, which
// has room for inside.size() + after.size() bytes; returns its end.
char* unquote_csv_field(const csv_field& field, char* out);

// How many bytes `value` takes written as a field: between quotes, its quotes
// doubled, only when it holds the delimiter, a double quote, CR or LF.
size_t csv_value_size(std::string_view value, char delimiter);

// Writes `value` as a field at `out`, which has csv_value_size bytes of room;
// returns its end.
char* write_csv_value(std::string_view value, char delimiter, char* out);
