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

// Hashes all of the file open for reading as `fd`, from its start. False
// when it can't be read to its end.
bool hash_file_content(int fd, uint64_t& hash, int64_t& size);
