// Numbers in fields. A field whose whole text is a decimal number (a sign,
// digits, a point with digits after it, an exponent; no leading zero before
// another digit) is that number; any other field is its text. Each number is
// the double the engine makes of the same text in SQL, to the last bit, so
// that a field and a literal of the same text are equal.
#pragma once

#include <sqlite3.h>

#include <string_view>

enum class field_kind { text, integer, real };

struct field_value {
  field_kind kind = field_kind::text;
  sqlite3_int64 integer = 0;
  double real = 0;
};

// Reads the reals of one connection. They are worked out here where that is
// known to give the engine's own double, and asked of the engine otherwise.
struct number_reader {
  sqlite3* db = nullptr;
  bool computed = true;          // whether the engine reads reals as this file does
  sqlite3_stmt* cast = nullptr;  // made at its first use
};

// Whether the engine of `db` reads reals as this file works them out:
// tried on texts whose last bit differs between ways of reading them.
bool engine_reads_reals_as_computed(sqlite3* db);

void finish_number_reader(number_reader& reader);

// What the field's text is: an integer, a real or text.
field_value field_value_of(number_reader& reader, std::string_view text);

// The number that the engine's numeric affinity makes of a text (blanks at
// either end, leading zeros and a point without digits after it allowed),
// or false when it makes none.
bool affinity_number(number_reader& reader, std::string_view text, field_value& number);

// Whether two numbers are equal as the engine compares them: an integer and
// a real exactly, not through a double that rounds the integer.
bool same_number(const field_value& a, const field_value& b);

// The double nearest the number: the integer's, or the real.
double as_double(const field_value& number);
