#include "texttable/line_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "os/os.h"

namespace {

constexpr size_t block_size = 1 << 16;

bool grow_spill(line_reader& r, size_t needed) {
  if (needed <= r.spill_capacity) return true;
  size_t capacity = std::min(std::max(needed, 2 * r.spill_capacity), r.limit + 1);
  void* grown = realloc(r.spill.get(), capacity);
  if (grown == nullptr) return false;
  r.spill.release();
  r.spill.reset(static_cast<char*>(grown));
  r.spill_capacity = capacity;
  return true;
}

// Adds `length` bytes without a zero byte or a line feed to the stored text.
line_status keep(line_reader& r, const char* at, size_t length) {
  size_t body = length;
  while (body > 0 && at[body - 1] == '\r') --body;
  if (body == 0) {
    r.spill_crs += length;
    return line_status::line;
  }
  const size_t stored = r.spill_length + r.spill_crs + body;
  if (stored > r.limit) return line_status::too_long;
  if (!grow_spill(r, stored + 1)) return line_status::no_memory;
  memset(r.spill.get() + r.spill_length, '\r', r.spill_crs);
  memcpy(r.spill.get() + r.spill_length + r.spill_crs, at, body);
  r.spill_length = stored;
  r.spill_crs = length - body;
  return line_status::line;
}

// Reads the next block. A Ctrl-C is looked for before each read: a line
// skipped after its zero byte inserts nothing, and /dev/zero never ends.
line_status refill(line_reader& r) {
  for (;;) {
    if (take_cancel_request()) return line_status::interrupted;
    const int64_t n = read_text(r.text, r.fd, r.block.get(), block_size, r.hash, os_read);
    if (n > 0) {
      r.begin = 0;
      r.end = static_cast<size_t>(n);
      return line_status::line;
    }
    if (n == 0) {
      r.at_end = true;
      return line_status::end;
    }
    if (n == text_no_memory) return line_status::no_memory;
    // An interrupt that is no Ctrl-C (a resized window) only restarts the
    // read.
    if (n != os_read_interrupted) return line_status::failed;
  }
}

}  // namespace

line_reader make_line_reader(int fd, size_t limit) {
  line_reader r;
  r.fd = fd;
  r.limit = limit;
  // One byte more, for the zero that ends a line found whole in the block.
  r.block.reset(new (std::nothrow) char[block_size + 1]);
  if (!start_content_hash(r.hash)) r.block.reset();
  return r;
}

line_status read_stored_line(line_reader& r, const char*& text) {
  if (!r.block) return line_status::no_memory;
  bool started = false;  // some of the line was read from an earlier block
  bool storing = true;   // no zero byte yet, nor too much text
  r.spill_length = 0;
  r.spill_crs = 0;
  for (;;) {
    if (r.begin == r.end) {
      if (r.at_end) {
        if (!started) return line_status::end;
        break;
      }
      line_status status = refill(r);
      if (status != line_status::line && status != line_status::end) return status;
      continue;
    }
    char* at = r.block.get() + r.begin;
    const size_t available = r.end - r.begin;
    char* newline = static_cast<char*>(memchr(at, '\n', available));
    const size_t length = newline != nullptr ? static_cast<size_t>(newline - at) : available;
    r.begin += newline != nullptr ? length + 1 : length;
    if (storing) {
      const char* zero = static_cast<const char*>(memchr(at, '\0', length));
      size_t kept = zero != nullptr ? static_cast<size_t>(zero - at) : length;
      if (zero != nullptr) r.cut_at_zero = true;
      if (!started && newline != nullptr) {
        // The common case: the whole line lies in the block and is ended in
        // place, with no copy.
        while (kept > 0 && at[kept - 1] == '\r') --kept;
        if (kept > r.limit) return line_status::too_long;
        at[kept] = '\0';
        text = at;
        return line_status::line;
      }
      line_status status = keep(r, at, kept);
      if (status != line_status::line) return status;
      storing = zero == nullptr;
    }
    started = true;
    if (newline != nullptr) break;
  }
  if (!grow_spill(r, r.spill_length + 1)) return line_status::no_memory;
  r.spill.get()[r.spill_length] = '\0';
  text = r.spill.get();
  return line_status::line;
}
