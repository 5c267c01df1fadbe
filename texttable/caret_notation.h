// Text that a terminal shows rather than obeys: what a file holds, or a file's
// name, must not clear the screen, move the cursor or set the clipboard.
//
// ESC, CR and the other control characters but TAB show as '^' and the
// character 64 above (^[, ^M), DEL as ^?, a C1 control written in UTF-8 as
// \u0080 to \u009f and a byte 0x80 to 0x9F outside a valid UTF-8 character
// (which a terminal may read as a C1 control) as \x80 to \x9f. All else, valid
// UTF-8 and the other invalid bytes included, shows as it is.
#pragma once

#include <cstddef>
#include <string_view>

// The length of the start of the zero-terminated `text` that shows as it is,
// up to a control character or a byte outside a valid UTF-8 character: all of
// it, for almost every text.
size_t plain_length(const char* text);

// The length of the valid UTF-8 character at the start of `text`, or 0.
size_t utf8_character_length(std::string_view text);

// Hands `text`, as a terminal should show it, to `emit(bytes, length)` in
// pieces.
template <typename Emit>
void show_controls(std::string_view text, Emit&& emit) {
  static const char hex[] = "0123456789abcdef";
  size_t plain = 0;  // where the run of bytes not yet handed on begins
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    char shown[6];
    size_t shown_length = 0;
    size_t length = 1;
    if ((c < 0x20 && c != '\t') || c == 0x7f) {
      shown[0] = '^';
      shown[1] = static_cast<char>(c ^ 0x40);
      shown_length = 2;
    } else if (c >= 0x80) {
      length = utf8_character_length(text.substr(i));
      if (length == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
        unsigned char control = static_cast<unsigned char>(text[i + 1]);
        shown[0] = '\\', shown[1] = 'u', shown[2] = '0', shown[3] = '0';
        shown[4] = hex[control >> 4], shown[5] = hex[control & 15];
        shown_length = 6;
      } else if (length == 0) {
        length = 1;
        if (c < 0xa0) {
          shown[0] = '\\', shown[1] = 'x', shown[2] = hex[c >> 4], shown[3] = hex[c & 15];
          shown_length = 4;
        }
      }
    }
    if (shown_length > 0) {
      if (i > plain) emit(text.data() + plain, i - plain);
      emit(static_cast<const char*>(shown), shown_length);
      plain = i + length;
    }
    i += length;
  }
  if (text.size() > plain) emit(text.data() + plain, text.size() - plain);
}
