// The text a save writes: a table's rows read whole from the engine and laid
// out as lines, in the form of the file the table holds.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "os/os.h"
#include "texttable/seen_files.h"
#include "texttable/utf16_text.h"

// A table's rows as the engine gives them, each value's text one after
// another in `text` (NULL as empty text; a value with a zero byte ends at
// it).
struct table_rows {
  std::string text;
  std::vector<size_t> ends;  // where each value ends in `text`, `columns` a row
  int rows = 0;
  int columns = 0;
  bool skip_row = false;      // the first column is `row`, left out of the text
  int row_column = -1;        // the column named `row`, if any
  std::string zero_byte_row;  // the first row holding a zero byte, by its `row` or place
  size_t laid_out = 0;        // bytes of the values the text holds

  std::string_view value(size_t index) const {
    const size_t begin = index == 0 ? 0 : ends[index - 1];
    return std::string_view(text).substr(begin, ends[index] - begin);
  }
};

// The name under which what the table that `name` reaches in plinth's
// statements holds of a file is remembered (texttable/seen_files.h): `name`
// itself for the main database's table (or none), another for a temporary
// or attached table of the same name, which holds nothing of the main
// table's file.
std::string record_of_table(sqlite3* db, const char* name);

// Reads every row of table `name`. On refusal sets `error` to the engine's
// message (or "out of memory") and returns false; nothing is printed.
bool read_table_rows(const char* name, table_rows& t, std::string& error);

// Hands `text` one row's values as its line holds them, less the line end:
// `value(c)` gives column c's text (NULL as empty text), a first column named
// `row` is left out (`skip_row`); otherwise the first value is followed by a
// tab even when it stands alone. Stops when a call returns false, and
// returns false then.
template <typename value_function, typename text_function>
bool lay_out_values(int columns, bool skip_row, value_function value, text_function& text) {
  for (int c = skip_row ? 1 : 0; c < columns; ++c) {
    const std::string_view v = value(c);
    if (!v.empty() && !text(v.data(), v.size())) return false;
    if ((c == 0 || c + 1 < columns) && !text("\t", 1)) return false;
  }
  return true;
}

// The same for a row as the engine hands it over, NULL a null pointer.
template <typename text_function>
bool lay_out_values(const char* const* values, int columns, bool skip_row, text_function& text) {
  return lay_out_values(
      columns, skip_row,
      [&](int c) {
        return values[c] != nullptr ? std::string_view(values[c]) : std::string_view();
      },
      text);
}

// Hands `text` the file's text piece by piece: one line per result row, laid
// out as above, each row ending with a call of `line_end`. Stops when a call
// returns false, and returns false then.
template <typename text_function, typename line_end_function>
bool lay_out_rows(const table_rows& t, text_function text, line_end_function line_end) {
  size_t row = 0;
  const auto value = [&](int c) { return t.value(row + static_cast<size_t>(c)); };
  for (int r = 0; r < t.rows; ++r, row += static_cast<size_t>(t.columns)) {
    if (!lay_out_values(t.columns, t.skip_row, value, text) || !line_end()) return false;
  }
  return true;
}

// Hands `emit` a value's text as a UTF-8 file holds it: where the system's
// text mode ends lines with CR LF, a line feed inside a value is written so
// too.
template <typename emit_function>
bool emit_in_text_mode(const char* text, size_t length, emit_function& emit) {
  if constexpr (os_line_end == "\n") {
    return emit(text, length);
  } else {
    for (const char* feed; (feed = static_cast<const char*>(memchr(text, '\n', length)));) {
      const size_t before = static_cast<size_t>(feed - text);
      if (!emit(text, before) || !emit(os_line_end.data(), os_line_end.size())) return false;
      text = feed + 1;
      length -= before + 1;
    }
    return emit(text, length);
  }
}

// Hands `emit` the file's text as the file holds it, in `form`. A UTF-8
// file's text (every save but a UTF-16 file's) goes straight through, in the
// system's text mode.
template <typename emit_function>
bool lay_out(const table_rows& t, const text_form& form, emit_function emit) {
  if (form.encoding == text_encoding::utf8) {
    const std::string_view end = line_end_of(form);
    return lay_out_rows(
        t, [&](const char* text, size_t length) { return emit_in_text_mode(text, length, emit); },
        [&] { return emit(end.data(), end.size()); });
  }
  text_writer w;
  start_text_writer(w, form, emit);
  return lay_out_rows(
             t, [&](const char* text, size_t length) { return write_text(w, text, length); },
             [&] { return write_line_end(w); }) &&
         finish_text(w);
}

// The size of the text lay_out gives.
int64_t laid_out_size(const table_rows& t, const text_form& form);
