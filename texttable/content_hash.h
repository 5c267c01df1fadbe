// A fast hash of a file's content, so that a save can tell whether a file
// still holds what its table was read from or last wrote, whatever its times
// say. Taken as the bytes go by, where they are read or written anyway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct XXH3_state_s;

struct content_hash {
  std::unique_ptr<XXH3_state_s, void (*)(XXH3_state_s*)> state{nullptr, nullptr};
  int64_t size = 0;  // the bytes hashed
};

// Starts a hash of nothing yet; false for want of memory.
bool start_content_hash(content_hash& hash);

// Adds `size` bytes to a started hash.
void add_to_content_hash(content_hash& hash, const void* data, size_t size);

// The hash of the bytes added so far.
uint64_t content_hash_value(const content_hash& hash);

// The hash of `size` bytes at once.
uint64_t hash_bytes(const void* data, size_t size);

// Hashes all that `read_at(source, buffer, size, offset)` gives from offset
// 0 on (how many bytes, 0 at the end, -1 on failure). False when it can't be
// read to its end.
using read_at_function = int64_t (*)(void* source, void* buffer, size_t size, int64_t offset);
bool hash_content(read_at_function read_at, void* source, uint64_t& hash, int64_t& size);

// Hashes all of the file open for reading as `fd`, from its start.
bool hash_file_content(int fd, uint64_t& hash, int64_t& size);
