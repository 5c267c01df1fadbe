// The text a save writes: a table's rows read whole from the engine and laid
// out as lines, in the form of the file the table holds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// Reads every row of table `name`. On refusal sets `error` to the engine's
// message (or "out of memory") and returns false; nothing is printed.
bool read_table_rows(const char* name, table_rows& t, std::string& error);

// Hands `text` the file's text piece by piece: one line per result row, a
// first column named `row` left out; otherwise the first value is followed by
// a tab even when it stands alone. NULL is written as empty text. Each row
// ends with a call of `line_end`. Stops when a call returns false, and
// returns false then.
template <typename text_function, typename line_end_function>
bool lay_out_rows(const table_rows& t, text_function text, line_end_function line_end) {
  const int first = t.skip_row ? 1 : 0;
  size_t index = 0;
  for (int r = 0; r < t.rows; ++r) {
    index += static_cast<size_t>(first);
    for (int c = first; c < t.columns; ++c, ++index) {
      const std::string_view value = t.value(index);
      if (!value.empty() && !text(value.data(), value.size())) return false;
      if ((c == 0 || c + 1 < t.columns) && !text("\t", 1)) return false;
    }
    if (!line_end()) return false;
  }
  return true;
}

// Hands `emit` the file's text as the file holds it, in `form`. A UTF-8
// file's text goes straight through: it is every save but a UTF-16 file's.
template <typename emit_function>
bool lay_out(const table_rows& t, const text_form& form, emit_function emit) {
  if (form.encoding == text_encoding::utf8) {
    const std::string_view end = line_end_of(form);
    return lay_out_rows(t, emit, [&] { return emit(end.data(), end.size()); });
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
