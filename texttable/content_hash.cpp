#include "texttable/content_hash.h"

#include <xxhash.h>

#include "os/os.h"

namespace {

void free_state(XXH3_state_s* state) {
  XXH3_freeState(state);
}

}  // namespace

bool start_content_hash(content_hash& hash) {
  hash.state = {XXH3_createState(), &free_state};
  hash.size = 0;
  return hash.state != nullptr && XXH3_64bits_reset(hash.state.get()) == XXH_OK;
}

void add_to_content_hash(content_hash& hash, const void* data, size_t size) {
  XXH3_64bits_update(hash.state.get(), data, size);
  hash.size += static_cast<int64_t>(size);
}

uint64_t content_hash_value(const content_hash& hash) {
  return XXH3_64bits_digest(hash.state.get());
}

uint64_t hash_bytes(const void* data, size_t size) {
  return XXH3_64bits(data, size);
}

bool hash_content(read_at_function read_at, void* source, uint64_t& value, int64_t& size) {
  content_hash hash;
  if (!start_content_hash(hash)) return false;
  // One comparison at a time: one buffer serves them all.
  static char buffer[1 << 17];
  for (;;) {
    const int64_t n = read_at(source, buffer, sizeof buffer, hash.size);
    if (n < 0) return false;
    if (n == 0) break;
    add_to_content_hash(hash, buffer, static_cast<size_t>(n));
  }
  value = content_hash_value(hash);
  size = hash.size;
  return true;
}

bool hash_file_content(int fd, uint64_t& value, int64_t& size) {
  const auto read_at = [](void* source, void* buffer, size_t length, int64_t offset) {
    return os_read_at(*static_cast<int*>(source), buffer, length, offset);
  };
  return hash_content(read_at, &fd, value, size);
}
