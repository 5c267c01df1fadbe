// Equality lookups in a column: the hashes a value is looked up by, and an
// index of one column of a table, which holds for each line only the hashes
// of its field and its row.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "extensions/columns_numbers.h"

// The hashes under which a field equal to a value may be found, as the
// engine compares with a column of no affinity: a text under its text's, a
// number, and a text that numeric affinity makes a number, under the
// number's. A hash shared by two values only gives rows that the engine's own
// check then drops.
struct lookup_key {
  uint64_t hashes[2] = {};
  size_t count = 0;        // none: NULL or a blob, equal to no field
  bool text_only = false;  // a text: only the same text matches
  std::string text;
};

// The key of a constraint's value.
void key_of(sqlite3_value* value, lookup_key& key);

// Whether a field of this text may equal the key.
bool may_match(number_reader& numbers, std::string_view field, const lookup_key& key);

// When a cache of what the text table holds was made: the connection's count
// of changed rows, and, inside a transaction, the cursor that made it. A
// rollback undoes changes without a count: what was made inside a
// transaction serves only the statement that made it.
struct stamp {
  sqlite3_int64 changes = -1;
  sqlite3_uint64 cursor = 0;
  bool operator==(const stamp&) const = default;
};

struct index_entry {
  uint64_t hash;
  sqlite3_int64 row;
  bool operator<(const index_entry& other) const {
    return hash != other.hash ? hash < other.hash : row < other.row;
  }
};

struct column_index {
  int column = -1;
  stamp made;
  index_entry* entries = nullptr;  // from the engine's allocator
  size_t count = 0;
  size_t capacity = 0;
  sqlite3_int64 first_row = 0;  // the first line's row, when the index was made
};

void free_index(column_index& index);

// Makes room for about `lines` fields; false when out of memory.
bool reserve_index(column_index& index, size_t lines);

// Adds the field of `row`; false when out of memory.
bool index_field(column_index& index, number_reader& numbers, sqlite3_int64 row,
                 std::string_view field);

// Sorts what was added: the index is then ready for lookups.
void finish_index(column_index& index);

// The rows whose field the index has under one of the key's hashes, in order.
void rows_of(const column_index& index, const lookup_key& key, std::vector<sqlite3_int64>& rows);
