#include "texttable/caret_notation.h"

#include <array>

namespace {

// The bytes a plain run of ASCII ends at: the zero, the control characters but
// TAB, DEL, and every byte beyond ASCII, whose character needs a closer look.
constexpr std::array<bool, 256> ends_ascii_run = [] {
  std::array<bool, 256> ends{};
  for (int c = 0; c < 0x20; ++c) ends[c] = c != '\t';
  for (int c = 0x7f; c < 0x100; ++c) ends[c] = true;
  return ends;
}();

}  // namespace

size_t plain_length(const char* text) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  size_t length = 0;
  for (;;) {
    while (!ends_ascii_run[bytes[length]]) ++length;
    if (bytes[length] < 0x80) return length;
    // The check stops at the first byte that does not fit, so never reads
    // past the zero.
    size_t character = utf8_character_length(std::string_view(text + length, 4));
    if (character == 0 || (bytes[length] == 0xc2 && bytes[length + 1] < 0xa0)) return length;
    length += character;
  }
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
