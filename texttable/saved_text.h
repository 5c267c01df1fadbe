// The text a save writes: a table's rows read whole from the engine and laid
// out as lines, in the form of the file the table holds.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "os/os.h"
#include "texttable/utf16_text.h"

using table_result = std::unique_ptr<char*, decltype(&sqlite3_free_table)>;

// A table's rows as the engine gives them: `columns` values a row, then a
// mark that is not null where one of them holds a zero byte.
struct table_rows {
  table_result result{nullptr, &sqlite3_free_table};
  int rows = 0;
  int columns = 0;
  bool skip_row = false;  // the first column is `row`, left out of the text
  int row_column = -1;    // the column named `row`, if any
  char** at(int r) const { return result.get() + static_cast<size_t>(r) * (columns + 1); }
};

// Reads every row of table `name`. On refusal sets `error` to the engine's
// message (or "out of memory") and returns false; nothing is printed.
bool read_table_rows(const char* name, table_rows& t, std::string& error);

// The first row holding a zero byte, by its `row` or its place, or empty.
std::string zero_byte_row(const table_rows& t);

// Hands `text` the file's text piece by piece: one line per result row, a
// first column named `row` left out; otherwise the first value is followed by
// a tab even when it stands alone. NULL is written as empty text. Each row
// ends with a call of `line_end`. Stops when a call returns false, and
// returns false then.
template <typename text_function, typename line_end_function>
bool lay_out_rows(const table_rows& t, text_function text, line_end_function line_end) {
  for (int r = 1; r <= t.rows; ++r) {
    char** values = t.at(r);
    for (int c = t.skip_row ? 1 : 0; c < t.columns; ++c) {
      if (values[c] != nullptr && !text(values[c], strlen(values[c]))) return false;
      if ((c == 0 || c + 1 < t.columns) && !text("\t", 1)) return false;
    }
    if (!line_end()) return false;
  }
  return true;
}

// Hands `emit` the file's text as the file holds it, in `form`. A UTF-8
// file's text (every save but a UTF-16 file's) goes straight through, but
// that where the system's text mode ends lines with CR LF it writes every
// line feed so, those inside values too.
template <typename emit_function>
bool lay_out(const table_rows& t, const text_form& form, emit_function emit) {
  if (form.encoding == text_encoding::utf8) {
    const std::string_view end = line_end_of(form);
    const auto line_end = [&] { return emit(end.data(), end.size()); };
    if constexpr (os_line_end == "\n") {
      return lay_out_rows(t, emit, line_end);
    } else {
      return lay_out_rows(
          t,
          [&](const char* text, size_t length) {
            for (const char* feed; (feed = static_cast<const char*>(memchr(text, '\n', length)));) {
              const size_t before = static_cast<size_t>(feed - text);
              if (!emit(text, before) || !line_end()) return false;
              text = feed + 1;
              length -= before + 1;
            }
            return emit(text, length);
          },
          line_end);
    }
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
