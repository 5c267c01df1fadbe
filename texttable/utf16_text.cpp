#include "texttable/utf16_text.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "os/os.h"

namespace {

const char hex_digits[] = "0123456789ABCDEF";

// The stand-in for an odd last byte starts with a byte no UTF-8 holds.
constexpr unsigned char odd_byte_lead = 0xFF;

char* put_three(unsigned unit, char* out) {
  *out++ = static_cast<char>(0xE0 | (unit >> 12));
  *out++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
  *out++ = static_cast<char>(0x80 | (unit & 0x3F));
  return out;
}

char* put_code_unit(text_input& in, unsigned unit, char* out) {
  if (in.has_high) {
    in.has_high = false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      const unsigned point = 0x10000 + ((in.high - 0xD800u) << 10) + (unit - 0xDC00);
      *out++ = static_cast<char>(0xF0 | (point >> 18));
      *out++ = static_cast<char>(0x80 | ((point >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (point & 0x3F));
      return out;
    }
    out = put_three(in.high, out);
  }
  if (unit < 0x80) {
    *out++ = static_cast<char>(unit);
  } else if (unit < 0x800) {
    *out++ = static_cast<char>(0xC0 | (unit >> 6));
    *out++ = static_cast<char>(0x80 | (unit & 0x3F));
  } else if (unit >= 0xD800 && unit <= 0xDBFF) {
    in.high = static_cast<uint16_t>(unit);
    in.has_high = true;
  } else {
    out = put_three(unit, out);
  }
  return out;
}

// Decodes `length` bytes into `out`, which has room for 3 bytes a code unit
// they complete and 3 more.
size_t decode(text_input& in, const unsigned char* bytes, size_t length, char* out) {
  const bool big = in.form.encoding == text_encoding::utf16_be;
  char* const start = out;
  size_t i = 0;
  if (in.has_odd && length > 0) {
    in.has_odd = false;
    out = put_code_unit(in, big ? (in.odd << 8 | bytes[0]) : (bytes[0] << 8 | in.odd), out);
    i = 1;
  }
  for (; i + 1 < length; i += 2) {
    const unsigned unit = big ? (bytes[i] << 8 | bytes[i + 1]) : (bytes[i + 1] << 8 | bytes[i]);
    if (unit < 0x80 && !in.has_high) {
      *out++ = static_cast<char>(unit);
    } else {
      out = put_code_unit(in, unit, out);
    }
  }
  if (i < length) {
    in.odd = bytes[i];
    in.has_odd = true;
  }
  return static_cast<size_t>(out - start);
}

// What the end of the file leaves: a high surrogate alone, an odd byte.
size_t finish_decoding(text_input& in, char* out) {
  char* const start = out;
  if (in.has_high) {
    in.has_high = false;
    out = put_three(in.high, out);
  }
  if (in.has_odd) {
    in.has_odd = false;
    *out++ = static_cast<char>(odd_byte_lead);
    *out++ = hex_digits[in.odd >> 4];
    *out++ = hex_digits[in.odd & 0xF];
  }
  return static_cast<size_t>(out - start);
}

// The first line ends in CR LF or LF: the byte before its line feed, which
// may be the last of an earlier block.
void look_for_line_end(text_input& in, const char* text, size_t length) {
  if (in.line_end_found || length == 0) return;
  const char* feed = static_cast<const char*>(memchr(text, '\n', length));
  if (feed == nullptr) {
    in.last = text[length - 1];
    return;
  }
  in.line_end_found = true;
  in.form.crlf = (feed > text ? feed[-1] : in.last) == '\r';
}

int64_t read_utf16(text_input& in, int fd, char* block, size_t size, content_hash& hash,
                   read_function read_bytes) {
  // Room for what the held byte and surrogate add.
  const size_t most = (size - 16) / 3 * 2;
  for (;;) {
    if (in.raw_begin < in.raw_end) {
      const size_t taken = std::min(most, in.raw_end - in.raw_begin);
      const size_t length = decode(in, in.raw.get() + in.raw_begin, taken, block);
      in.raw_begin += taken;
      look_for_line_end(in, block, length);
      if (length > 0) return static_cast<int64_t>(length);
      continue;
    }
    if (in.raw_at_end) {
      if (in.finished) return 0;
      in.finished = true;
      return static_cast<int64_t>(finish_decoding(in, block));
    }
    const int64_t n = read_bytes(fd, in.raw.get(), in.raw_size);
    if (n < 0) return n;
    if (n == 0) {
      in.raw_at_end = true;
      continue;
    }
    add_to_content_hash(hash, in.raw.get(), static_cast<size_t>(n));
    in.raw_begin = 0;
    in.raw_end = static_cast<size_t>(n);
  }
}

// Reads until the first two bytes are in, or the file ends; a pipe may hand
// them over one at a time.
int64_t read_first(text_input& in, int fd, char* block, size_t size, content_hash& hash,
                   read_function read_bytes) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(block);
  for (;;) {
    const int64_t n = read_bytes(fd, block + in.first, size - in.first);
    if (n < 0) return n;
    add_to_content_hash(hash, block + in.first, static_cast<size_t>(n));
    in.first += static_cast<size_t>(n);
    if (n > 0 && in.first == 1 && (bytes[0] == 0xFF || bytes[0] == 0xFE)) continue;
    in.decided = true;
    if (in.first >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
      in.form.encoding = text_encoding::utf16_le;
    } else if (in.first >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
      in.form.encoding = text_encoding::utf16_be;
    } else {
      return static_cast<int64_t>(in.first);
    }
    in.raw.reset(new (std::nothrow) unsigned char[size]);
    if (!in.raw) return text_no_memory;
    in.raw_size = size;
    in.raw_end = in.first - 2;
    memcpy(in.raw.get(), block + 2, in.raw_end);
    return read_utf16(in, fd, block, size, hash, read_bytes);
  }
}

// The length of the UTF-8 sequence at `s`, or 0 when none starts there. The
// surrogates' 3-byte forms count: they are how lone ones are kept.
size_t sequence_length(const unsigned char* s, size_t available) {
  auto follows = [&](size_t i, unsigned low, unsigned high) {
    return i < available && s[i] >= low && s[i] <= high;
  };
  const unsigned c = s[0];
  if (c >= 0xC2 && c <= 0xDF) return follows(1, 0x80, 0xBF) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    return follows(1, c == 0xE0 ? 0xA0 : 0x80, 0xBF) && follows(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    return follows(1, c == 0xF0 ? 0x90 : 0x80, c == 0xF4 ? 0x8F : 0xBF) && follows(2, 0x80, 0xBF) &&
                   follows(3, 0x80, 0xBF)
               ? 4
               : 0;
  }
  return 0;
}

void put_unit(text_writer& w, unsigned unit) {
  const bool big = w.form.encoding == text_encoding::utf16_be;
  w.buffer[w.used++] = static_cast<char>(big ? unit >> 8 : unit & 0xFF);
  w.buffer[w.used++] = static_cast<char>(big ? unit & 0xFF : unit >> 8);
}

bool flush(text_writer& w) {
  const size_t used = w.used;
  w.used = 0;
  return used == 0 || w.sink.write(w.sink.context, w.buffer, used);
}

// Encodes all of `text`, flushing the buffer as it fills.
bool encode(text_writer& w, const char* text, size_t length) {
  if (!w.marked) {
    w.marked = true;
    put_unit(w, 0xFEFF);
  }
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < length) {
    if (w.used + 4 > sizeof w.buffer && !flush(w)) return false;
    const unsigned c = s[i];
    if (c < 0x80) {
      put_unit(w, c);
      ++i;
      continue;
    }
    const size_t n = sequence_length(s + i, length - i);
    if (n == 0) {
      put_unit(w, 0xDC80 + (c - 0x80));
      ++i;
      continue;
    }
    unsigned point = c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) point = point << 6 | (s[i + k] & 0x3F);
    if (point >= 0x10000) {
      put_unit(w, 0xD800 + ((point - 0x10000) >> 10));
      put_unit(w, 0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      put_unit(w, point);
    }
    i += n;
  }
  return true;
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

unsigned hex_value(char digit) {
  return static_cast<unsigned>(digit <= '9' ? digit - '0' : digit - 'A' + 10);
}

// Writes what was held back as the text it is, since more follows.
bool release_held(text_writer& w) {
  if (!w.holding) return true;
  w.holding = false;
  if (!encode(w, w.held, sizeof w.held)) return false;
  if (!w.held_line_end) return true;
  w.held_line_end = false;
  const std::string_view end = line_end_of(w.form);
  return encode(w, end.data(), end.size());
}

}  // namespace

// A UTF-16 file keeps the line end it has, on every system: unchanged, it
// comes back byte for byte.
std::string_view line_end_of(const text_form& form) {
  if (form.encoding == text_encoding::utf8) return os_line_end;
  return form.crlf ? "\r\n" : "\n";
}

int64_t read_text(text_input& in, int fd, char* block, size_t size, content_hash& hash,
                  read_function read_bytes) {
  if (!in.decided) return read_first(in, fd, block, size, hash, read_bytes);
  if (in.form.encoding != text_encoding::utf8) {
    return read_utf16(in, fd, block, size, hash, read_bytes);
  }
  const int64_t n = read_bytes(fd, block, size);
  if (n > 0) add_to_content_hash(hash, block, static_cast<size_t>(n));
  return n;
}

bool write_text(text_writer& w, const char* text, size_t length) {
  if (w.form.encoding == text_encoding::utf8) return w.sink.write(w.sink.context, text, length);
  if (!release_held(w)) return false;
  if (length >= 3 && static_cast<unsigned char>(text[length - 3]) == odd_byte_lead &&
      is_hex_digit(text[length - 2]) && is_hex_digit(text[length - 1])) {
    length -= 3;
    memcpy(w.held, text + length, 3);
    w.holding = true;
  }
  return encode(w, text, length);
}

bool write_line_end(text_writer& w) {
  const std::string_view end = line_end_of(w.form);
  if (w.form.encoding == text_encoding::utf8) {
    return w.sink.write(w.sink.context, end.data(), end.size());
  }
  if (w.holding && !w.held_line_end) {
    w.held_line_end = true;
    return true;
  }
  return release_held(w) && encode(w, end.data(), end.size());
}

bool finish_text(text_writer& w) {
  if (w.form.encoding == text_encoding::utf8) return true;
  if (!encode(w, nullptr, 0)) return false;  // an empty table keeps its mark
  if (w.holding) {
    if (!flush(w)) return false;
    w.buffer[w.used++] = static_cast<char>(hex_value(w.held[1]) << 4 | hex_value(w.held[2]));
    w.holding = false;
  }
  return flush(w);
}
