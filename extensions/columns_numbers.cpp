#include "extensions/columns_numbers.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using std::string_view;

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_blank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// A decimal's text taken apart: its value is significand × 10^power.
struct decimal {
  bool negative = false;
  bool integral = true;      // no point and no exponent
  uint64_t significand = 0;  // its digits from the first to the last that is not zero
  int power = 0;
  int digits = 0;  // in the significand
};

// The significant digits past which a real is asked of the engine: fewer
// than the engine keeps, so that a significand here is always the engine's.
constexpr int most_digits = 17;
// The powers of ten a long double of 64 bits holds exactly.
constexpr int most_power = 27;
// An exponent beyond any double, as the engine caps it.
constexpr int exponent_cap = 10000;

// Reads an exponent's digits after 'e' or 'E' from `at`; false when there
// are none.
bool scan_exponent(string_view text, size_t& at, int& exponent) {
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  const size_t first = at;
  int value = 0;
  for (; at < text.size() && is_digit(text[at]); ++at) {
    value = value < exponent_cap ? value * 10 + (text[at] - '0') : exponent_cap;
  }
  exponent = negative ? -value : value;
  return at > first;
}

// Reads [sign] digits [. digits] [e [sign] digits] as all of `text`.
// Strict, the field rule: digits before the point unless it is followed by
// some, no leading zero before another digit, digits after a point.
// Otherwise the engine's: any digits on either side of the point, at least
// one in all.
bool scan_decimal(string_view text, bool strict, decimal& d) {
  size_t at = 0;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) d.negative = text[at++] == '-';
  const size_t whole_start = at;
  while (at < text.size() && is_digit(text[at])) ++at;
  const size_t whole_end = at;
  size_t fraction_start = at;
  size_t fraction_end = at;
  if (at < text.size() && text[at] == '.') {
    d.integral = false;
    fraction_start = ++at;
    while (at < text.size() && is_digit(text[at])) ++at;
    fraction_end = at;
    if (strict && fraction_end == fraction_start) return false;
  }
  const size_t whole_digits = whole_end - whole_start;
  if (whole_digits + (fraction_end - fraction_start) == 0) return false;
  if (strict && whole_digits > 1 && text[whole_start] == '0') return false;
  int exponent = 0;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    d.integral = false;
    ++at;
    if (!scan_exponent(text, at, exponent)) return false;
  }
  if (at != text.size()) return false;
  // The digits of the mantissa, the point left out, from the first to the
  // last that is not zero.
  auto digit_at = [&](size_t i) {
    return i < whole_digits ? text[whole_start + i] : text[fraction_start + i - whole_digits];
  };
  const size_t count = whole_digits + (fraction_end - fraction_start);
  size_t first = 0;
  while (first < count && digit_at(first) == '0') ++first;
  if (first == count) return true;  // zero
  size_t last = count - 1;
  while (digit_at(last) == '0') --last;
  d.digits = static_cast<int>(last - first + 1);
  for (size_t i = first; i <= last && i < first + most_digits; ++i) {
    d.significand = d.significand * 10 + static_cast<uint64_t>(digit_at(i) - '0');
  }
  const auto after_last = static_cast<int>(count - 1 - last);
  const auto fraction_digits = static_cast<int>(fraction_end - fraction_start);
  d.power = after_last - fraction_digits + exponent;
  return true;
}

// The integer of a decimal integer's text, a sign and leading zeros allowed,
// when it fits in 64 bits.
bool integer_of(string_view text, sqlite3_int64& value) {
  const bool negative = text.starts_with('-');
  if (negative || text.starts_with('+')) text.remove_prefix(1);
  uint64_t magnitude = 0;
  for (char c : text) {
    const auto digit = static_cast<uint64_t>(c - '0');
    if (magnitude > (UINT64_MAX - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  const uint64_t limit = static_cast<uint64_t>(INT64_MAX) + (negative ? 1 : 0);
  if (magnitude > limit) return false;
  value =
      negative ? static_cast<sqlite3_int64>(0 - magnitude) : static_cast<sqlite3_int64>(magnitude);
  return true;
}

long double power_of_ten(int n) {
  long double power = 1;
  for (int i = 0; i < n; ++i) power *= 10;
  return power;
}

// The engine's double of a decimal with few digits and a small power, as the
// engine works it out: the significand is made as large as 64 bits allow
// and then multiplied or divided by an exact power of ten in long double,
// which is rounded to a double. False when the decimal is beyond that.
bool computed_real(const decimal& d, double& value) {
  if (d.digits > most_digits) return false;
  auto significand = static_cast<sqlite3_int64>(d.significand);
  int power = d.power;
  while (power > 0 && significand < INT64_MAX / 10) {
    significand *= 10;
    --power;
  }
  double magnitude;
  if (power == 0) {
    magnitude = static_cast<double>(significand);
  } else if (power > most_power || power < -most_power) {
    return false;
  } else {
    const long double scale = power_of_ten(power < 0 ? -power : power);
    const auto exact = static_cast<long double>(significand);
    magnitude = static_cast<double>(power < 0 ? exact / scale : exact * scale);
  }
  value = d.negative ? -magnitude : magnitude;
  return true;
}

// The engine's own double of the text, or the nearest double when the engine
// can't be asked.
double engine_real(number_reader& reader, string_view text) {
  if (reader.cast == nullptr && reader.db != nullptr) {
    sqlite3_prepare_v3(reader.db, "select cast(?1 as real)", -1, SQLITE_PREPARE_PERSISTENT,
                       &reader.cast, nullptr);
  }
  if (reader.cast != nullptr) {
    sqlite3_bind_text64(reader.cast, 1, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
    const bool read = sqlite3_step(reader.cast) == SQLITE_ROW;
    const double value = read ? sqlite3_column_double(reader.cast, 0) : 0;
    sqlite3_reset(reader.cast);
    sqlite3_clear_bindings(reader.cast);
    if (read) return value;
  }
  const std::string copy(text);
  return std::strtod(copy.c_str(), nullptr);
}

field_value number_of(number_reader& reader, const decimal& d, string_view text) {
  field_value number;
  if (d.integral && integer_of(text, number.integer)) {
    number.kind = field_kind::integer;
    return number;
  }
  number.kind = field_kind::real;
  if (d.significand == 0) {
    number.real = d.negative ? -0.0 : 0.0;
  } else if (!reader.computed || !computed_real(d, number.real)) {
    number.real = engine_real(reader, text);
  }
  return number;
}

// Texts on which reading a real to the last bit goes wrong one way or
// another: by a double rounding, or by a power of ten that is not exact.
constexpr const char* probe_texts[] = {
    "0.123314",
    "0.984153",
    "6.029779",
    "0.7454152",
    "23.508521",
    "0.1",
    "171.90",
    "467554341596455e12",
    "73940699548562e-14",
    "6.022e23",
    "9.999999999999999e22",
    "123456.789e3",
    "-0.0000123",
};

}  // namespace

bool engine_reads_reals_as_computed(sqlite3* db) {
  number_reader engine{db, false, nullptr};
  bool same = true;
  for (const char* text : probe_texts) {
    decimal d;
    if (!scan_decimal(text, false, d)) continue;
    double mine = 0;
    if (!computed_real(d, mine)) continue;
    const field_value theirs = number_of(engine, d, text);
    same = same && engine.cast != nullptr && theirs.real == mine;
  }
  finish_number_reader(engine);
  return same;
}

void finish_number_reader(number_reader& reader) {
  sqlite3_finalize(reader.cast);
  reader.cast = nullptr;
}

field_value field_value_of(number_reader& reader, string_view text) {
  // Most fields are words: the first byte tells.
  if (text.empty() || !(is_digit(text[0]) || text[0] == '-' || text[0] == '+' || text[0] == '.')) {
    return field_value{};
  }
  // Most numbers are short integers.
  if (text.size() <= 18) {
    size_t at = text[0] == '-' ? 1 : 0;
    sqlite3_int64 magnitude = 0;
    while (at < text.size() && is_digit(text[at])) magnitude = magnitude * 10 + (text[at++] - '0');
    const size_t digits = at - (text[0] == '-' ? 1 : 0);
    const bool leading_zero = digits > 1 && text[text.size() - digits] == '0';
    if (at == text.size() && digits > 0 && !leading_zero) {
      return field_value{field_kind::integer, text[0] == '-' ? -magnitude : magnitude, 0};
    }
  }
  decimal d;
  if (!scan_decimal(text, true, d)) return field_value{};
  return number_of(reader, d, text);
}

bool affinity_number(number_reader& reader, string_view text, field_value& number) {
  size_t start = 0;
  size_t end = text.size();
  while (start < end && is_blank(text[start])) ++start;
  while (end > start && is_blank(text[end - 1])) --end;
  text = text.substr(start, end - start);
  if (text.empty() || !(is_digit(text[0]) || text[0] == '-' || text[0] == '+' || text[0] == '.')) {
    return false;
  }
  decimal d;
  if (!scan_decimal(text, false, d)) return false;
  number = number_of(reader, d, text);
  return true;
}

bool same_number(const field_value& a, const field_value& b) {
  if (a.kind == field_kind::text || b.kind == field_kind::text) return false;
  if (a.kind == field_kind::real && b.kind == field_kind::real) return a.real == b.real;
  if (a.kind == field_kind::integer && b.kind == field_kind::integer) {
    return a.integer == b.integer;
  }
  const sqlite3_int64 integer = a.kind == field_kind::integer ? a.integer : b.integer;
  const double real = a.kind == field_kind::real ? a.real : b.real;
  if (!(real >= -9223372036854775808.0 && real < 9223372036854775808.0)) return false;
  const auto whole = static_cast<sqlite3_int64>(real);
  return whole == integer && static_cast<double>(whole) == real;
}

double as_double(const field_value& number) {
  return number.kind == field_kind::integer ? static_cast<double>(number.integer) : number.real;
}
