#include "extensions/columns_fields.h"

#include <bit>
#include <cstdint>
#include <cstring>

using std::string;
using std::string_view;

size_t first_field_start(string_view line, bool first_line) {
  return first_line && line.starts_with(byte_order_mark) ? byte_order_mark.size() : 0;
}

void start_split(split_line& split, string_view line, size_t from) {
  split.line = line;
  split.rest = from;
  split.complete = false;
  split.fields.clear();
}

namespace {

// Where the first delimiter from `from` is, or the line's end. Most fields
// are short: eight bytes are looked at a time, where memchr would spend
// longer getting started.
size_t delimiter_at(string_view line, size_t from, char delimiter) {
  const char* at = line.data() + from;
  const char* end = line.data() + line.size();
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    const uint64_t pattern = ones * static_cast<unsigned char>(delimiter);
    for (; end - at >= 8; at += 8) {
      uint64_t word;
      memcpy(&word, at, sizeof word);
      word ^= pattern;  // a zero byte where the delimiter is
      const uint64_t zeros = (word - ones) & ~word & (ones << 7);
      if (zeros != 0) return static_cast<size_t>(at - line.data()) + std::countr_zero(zeros) / 8;
    }
  }
  while (at != end && *at != delimiter) ++at;
  return static_cast<size_t>(at - line.data());
}

}  // namespace

void split_to(split_line& split, size_t n, const layout& format) {
  const string_view line = split.line;
  while (split.fields.size() <= n && !split.complete) {
    field_span& span = split.fields.emplace_back();
    span.start = split.rest;
    if (format.quoting && split.rest < line.size() && line[split.rest] == '"') {
      span.field = scan_csv_field(line, split.rest, format.delimiter);
    } else {
      span.field.end = delimiter_at(line, split.rest, format.delimiter);
      span.field.inside = string_view(line.data() + split.rest, span.field.end - split.rest);
    }
    if (span.field.end >= line.size()) {
      split.complete = true;
    } else {
      split.rest = span.field.end + 1;
    }
  }
}

bool field_text(split_line& split, size_t n, const layout& format, string& buffer,
                string_view& text) {
  split_to(split, n, format);
  if (n >= split.fields.size()) return false;
  const csv_field& field = split.fields[n].field;
  if (is_plain(field)) {
    text = field.inside;
  } else {
    buffer.resize(field.inside.size() + field.after.size());
    text = string_view(buffer.data(), static_cast<size_t>(unquote_csv_field(field, buffer.data()) -
                                                          buffer.data()));
  }
  return true;
}

bool is_open(const split_line& split, size_t n, const layout& format) {
  if (!format.quoting || n >= split.fields.size()) return false;
  const field_span& span = split.fields[n];
  const string_view line = split.line;
  // A closed quote ends `inside` before the line does.
  return span.start < line.size() && line[span.start] == '"' &&
         span.field.inside.data() + span.field.inside.size() == line.data() + line.size();
}

void append_field(string_view value, const layout& format, bool first, string& line) {
  if (!format.quoting) {
    line += value;
    return;
  }
  const char delimiter = format.delimiter;
  const size_t at = line.size();
  if (first && value.starts_with(byte_order_mark) &&
      csv_value_size(value, delimiter) == value.size()) {
    line += '"';
    line += value;
    line += '"';
    return;
  }
  line.resize(at + csv_value_size(value, delimiter));
  write_csv_value(value, delimiter, line.data() + at);
}
