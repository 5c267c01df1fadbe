#include "extensions/csv.h"

#include <algorithm>
#include <cstring>

using std::string_view;

csv_field scan_csv_field(string_view line, size_t start, char delimiter) {
  csv_field field;
  if (start < line.size() && line[start] == '"') {
    size_t at = start + 1;
    for (;;) {
      size_t quote = line.find('"', at);
      if (quote == string_view::npos) {
        field.inside = line.substr(start + 1);
        field.end = line.size();
        return field;
      }
      if (quote + 1 < line.size() && line[quote + 1] == '"') {
        field.doubled = true;
        at = quote + 2;
        continue;
      }
      field.inside = line.substr(start + 1, quote - start - 1);
      start = quote + 1;
      break;
    }
    field.end = std::min(line.find(delimiter, start), line.size());
    field.after = line.substr(start, field.end - start);
    return field;
  }
  field.end = std::min(line.find(delimiter, start), line.size());
  field.inside = line.substr(start, field.end - start);
  return field;
}

char* unquote_csv_field(const csv_field& field, char* out) {
  for (size_t i = 0; i < field.inside.size(); ++i) {
    *out++ = field.inside[i];
    if (field.inside[i] == '"') ++i;  // the second of a doubled quote
  }
  if (!field.after.empty()) memcpy(out, field.after.data(), field.after.size());
  return out + field.after.size();
}

namespace {

bool needs_quotes(string_view value, char delimiter) {
  for (char c : value) {
    if (c == delimiter || c == '"' || c == '\r' || c == '\n') return true;
  }
  return false;
}

}  // namespace

size_t csv_value_size(string_view value, char delimiter) {
  if (!needs_quotes(value, delimiter)) return value.size();
  return value.size() + 2 + static_cast<size_t>(std::count(value.begin(), value.end(), '"'));
}

char* write_csv_value(string_view value, char delimiter, char* out) {
  if (!needs_quotes(value, delimiter)) {
    if (!value.empty()) memcpy(out, value.data(), value.size());
    return out + value.size();
  }
  *out++ = '"';
  for (char c : value) {
    if (c == '"') *out++ = '"';
    *out++ = c;
  }
  *out++ = '"';
  return out;
}
