#include "shell/caret_notation.h"

#include <array>

namespace {

// The bytes that end a plain run: the zero, the control characters but TAB,
// DEL, and 0x80 to 0x9F, which is a C1 control, a lone byte, or a byte inside
// a valid character that only a closer look tells apart.
constexpr std::array<bool, 256> ends_plain_run = [] {
  std::array<bool, 256> ends{};
  for (int c = 0; c < 0x20; ++c) ends[c] = c != '\t';
  ends[0x7f] = true;
  for (int c = 0x80; c < 0xa0; ++c) ends[c] = true;
  return ends;
}();

}  // namespace

size_t plain_length(const char* text) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  size_t length = 0;
  while (!ends_plain_run[bytes[length]]) ++length;
  return length;
}

size_t utf8_character_length(std::string_view text) {
  unsigned char first = static_cast<unsigned char>(text[0]);
  // The second byte's range leaves out overlong forms, surrogates and code
  // points above U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  size_t length;
  if (first >= 0xc2 && first <= 0xdf) {
    length = 2;
  } else if (first >= 0xe0 && first <= 0xef) {
    length = 3;
    if (first == 0xe0) low = 0xa0;
    if (first == 0xed) high = 0x9f;
  } else if (first >= 0xf0 && first <= 0xf4) {
    length = 4;
    if (first == 0xf0) low = 0x90;
    if (first == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    unsigned char next = static_cast<unsigned char>(text[i]);
    if (next < low || next > high) return 0;
    low = 0x80;
    high = 0xbf;
  }
  return length;
}
