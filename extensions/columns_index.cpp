#include "extensions/columns_index.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

using std::string_view;

namespace {

uint64_t text_hash(string_view text) {
  return std::hash<string_view>()(text);
}

// Equal numbers, an integer and a real among them, have the same double.
uint64_t number_hash(double value) {
  if (value == 0) value = 0;  // -0.0 and 0.0 are equal
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  // A mix, so that numbers and texts rarely share a hash.
  bits ^= bits >> 33;
  bits *= 0xff51afd7ed558ccdULL;
  bits ^= bits >> 33;
  return bits ^ 0x9e3779b97f4a7c15ULL;
}

// The hashes of a field: at most two.
size_t field_hashes(number_reader& numbers, string_view field, uint64_t hashes[2]) {
  const field_value value = field_value_of(numbers, field);
  if (value.kind != field_kind::text) {
    hashes[0] = number_hash(as_double(value));
    return 1;
  }
  hashes[0] = text_hash(field);
  // Compared with a column of numbers, the engine makes a number of a text
  // that reads as one.
  field_value number;
  if (!affinity_number(numbers, field, number)) return 1;
  hashes[1] = number_hash(as_double(number));
  return 2;
}

}  // namespace

void key_of(sqlite3_value* value, lookup_key& key) {
  key.count = 0;
  key.text_only = false;
  switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
      key.hashes[key.count++] = number_hash(static_cast<double>(sqlite3_value_int64(value)));
      return;
    case SQLITE_FLOAT:
      key.hashes[key.count++] = number_hash(sqlite3_value_double(value));
      return;
    case SQLITE_TEXT: {
      // The columns are declared without a type: the engine makes no number
      // of a field compared with a text, which equals only the same text.
      const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
      key.text.assign(text == nullptr ? "" : text, static_cast<size_t>(sqlite3_value_bytes(value)));
      key.hashes[key.count++] = text_hash(key.text);
      key.text_only = true;
      return;
    }
    default:  // NULL is equal to nothing, and a blob to no text or number
      return;
  }
}

bool may_match(number_reader& numbers, string_view field, const lookup_key& key) {
  if (key.text_only) return field == key.text;
  uint64_t hashes[2];
  const size_t count = field_hashes(numbers, field, hashes);
  for (size_t i = 0; i < count; ++i) {
    for (size_t k = 0; k < key.count; ++k) {
      if (hashes[i] == key.hashes[k]) return true;
    }
  }
  return false;
}

void free_index(column_index& index) {
  sqlite3_free(index.entries);
  index.entries = nullptr;
  index.count = 0;
  index.capacity = 0;
  index.made = stamp();
}

bool reserve_index(column_index& index, size_t lines) {
  if (lines <= index.capacity) return true;
  auto* more =
      static_cast<index_entry*>(sqlite3_realloc64(index.entries, lines * sizeof(index_entry)));
  if (more == nullptr) return false;
  index.entries = more;
  index.capacity = lines;
  return true;
}

bool index_field(column_index& index, number_reader& numbers, sqlite3_int64 row,
                 string_view field) {
  uint64_t hashes[2];
  const size_t count = field_hashes(numbers, field, hashes);
  // Beyond the lines foreseen, a quarter more at a time: the index is most
  // of what a join holds in memory.
  if (index.count + count > index.capacity &&
      !reserve_index(index,
                     std::max(index.count + count, index.capacity + index.capacity / 4 + 1024))) {
    return false;
  }
  for (size_t i = 0; i < count; ++i) index.entries[index.count++] = {hashes[i], row};
  return true;
}

void finish_index(column_index& index) {
  std::sort(index.entries, index.entries + index.count);
}

void rows_of(const column_index& index, const lookup_key& key, std::vector<sqlite3_int64>& rows) {
  rows.clear();
  const index_entry* begin = index.entries;
  const index_entry* end = begin + index.count;
  for (size_t k = 0; k < key.count; ++k) {
    const uint64_t hash = key.hashes[k];
    const index_entry* at =
        std::lower_bound(begin, end, index_entry{hash, std::numeric_limits<sqlite3_int64>::min()});
    for (; at != end && at->hash == hash; ++at) rows.push_back(at->row);
  }
  // A row may be there under two hashes; a key of one hash gives its rows in order.
  if (key.count > 1) {
    std::sort(rows.begin(), rows.end());
  }
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
}
