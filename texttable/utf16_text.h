// Files that begin with a UTF-16 byte-order mark: their rows hold the text as
// UTF-8, and a save writes it back in the same byte order, after the mark,
// with the line end its first line had. A file whose lines all end as its
// first one does, the last one too, comes back byte for byte when unchanged,
// whatever else it holds: an unpaired surrogate is kept as its 3-byte generalized
// UTF-8 form, an odd last byte as 0xFF and two hex digits, which no decoded
// text holds, and a byte no UTF-8 reads is written as the lone surrogate
// U+DC80 + (byte - 0x80).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "texttable/content_hash.h"

enum class text_encoding : uint8_t { utf8, utf16_le, utf16_be };

// How a table's file holds its text. The rows of any other file end in the
// system's line end when saved, whatever its first line ends with.
struct text_form {
  text_encoding encoding = text_encoding::utf8;
  bool crlf = false;  // the first line ended in CR LF
};

// The line end a save writes after each row: the file's own for UTF-16,
// else the system's.
std::string_view line_end_of(const text_form& form);

// Reading: the first bytes of the file choose the form; UTF-16 is read into
// `raw` and decoded from there, a code unit or a surrogate pair that a read
// splits kept until the rest comes.
struct text_input {
  text_form form;
  bool decided = false;  // the first two bytes were looked at
  size_t first = 0;      // bytes read before that
  std::unique_ptr<unsigned char[]> raw;
  size_t raw_size = 0;
  size_t raw_begin = 0;  // not yet decoded
  size_t raw_end = 0;
  bool raw_at_end = false;
  bool finished = false;  // what the end of the file leaves was decoded
  uint8_t odd = 0;        // the first byte of a split code unit
  bool has_odd = false;
  uint16_t high = 0;  // a high surrogate waiting for its low one
  bool has_high = false;
  bool line_end_found = false;  // the first line's end was looked at
  char last = 0;                // the last text byte decoded before
};

using read_function = int64_t (*)(int fd, void* buffer, size_t size);

// What read_text answers when there is no memory for UTF-16.
inline constexpr int64_t text_no_memory = -3;

// Reads the next text of the file `fd` into `block`, at most `size` bytes,
// through `read_bytes` and as it would answer (a negative number: failed or
// broken off): the bytes themselves, or what UTF-16 after a mark decodes to;
// 0 at the end; text_no_memory. Every byte read goes to `hash`.
int64_t read_text(text_input& in, int fd, char* block, size_t size, content_hash& hash,
                  read_function read_bytes);

// Writing: a save hands over its text piece by piece, each row's values and
// tabs through write_text, then write_line_end, and at last finish_text.
struct text_sink {
  bool (*write)(void* context, const char* bytes, size_t length);
  void* context;
};

struct text_writer {
  text_form form;
  text_sink sink;
  bool marked = false;  // the byte-order mark is out
  // A value that ends in an odd byte's stand-in holds it back, with the line
  // end after it: at the end of the file it is that byte alone.
  char held[3] = {};
  bool holding = false;
  bool held_line_end = false;
  size_t used = 0;
  char buffer[8192];
};

bool write_text(text_writer& w, const char* text, size_t length);
bool write_line_end(text_writer& w);
bool finish_text(text_writer& w);

// A writer for `form` that hands the bytes to `emit(bytes, length)`, which
// returns false to stop; `emit` must outlive it.
template <typename emit_function>
void start_text_writer(text_writer& w, const text_form& form, emit_function& emit) {
  w.form = form;
  w.sink.context = &emit;
  w.sink.write = [](void* context, const char* bytes, size_t length) {
    return (*static_cast<emit_function*>(context))(bytes, length);
  };
}
