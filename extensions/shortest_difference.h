// A shortest difference between two sequences of lines: the fewest lines to
// remove from the first and add from the second that turn one into the
// other, found in time that grows with their length times the number of
// such lines and in memory that grows with their length alone. Each line is
// given by a 64-bit hash of its bytes, and equal hashes are taken for equal
// lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Which lines the difference removes from the first sequence and adds from
// the second. Each vector holds a 0 before its first line and after its last,
// so that a walk over the lines stops at either end.
struct line_changes {
  std::vector<uint8_t> removed;  // line i of the first at i + 1
  std::vector<uint8_t> added;    // line j of the second at j + 1
};

inline int64_t first_lines(const line_changes& c) {
  return static_cast<int64_t>(c.removed.size()) - 2;
}
inline int64_t second_lines(const line_changes& c) {
  return static_cast<int64_t>(c.added.size()) - 2;
}
inline bool is_removed(const line_changes& c, int64_t i) {
  return c.removed[static_cast<size_t>(i + 1)] != 0;
}
inline bool is_added(const line_changes& c, int64_t j) {
  return c.added[static_cast<size_t>(j + 1)] != 0;
}

// Finds the difference between the `n` lines of `a` and the `m` lines of `b`.
// Where several are shortest, each run of changed lines is moved as far down
// as equal lines allow, unless that parts it from a change on the other side
// or it can join another run. `stop` is asked now and then; when it says
// yes, gives up and returns false.
bool find_line_changes(const uint64_t* a, int64_t n, const uint64_t* b, int64_t m, int64_t context,
                       line_changes& changes, bool (*stop)());

// A hunk of a unified difference: lines [a_begin, a_end) of the first
// sequence and [b_begin, b_end) of the second, its changes with the
// unchanged lines around them.
struct hunk {
  int64_t a_begin = 0;
  int64_t a_end = 0;
  int64_t b_begin = 0;
  int64_t b_end = 0;
};

// The next hunk with `context` unchanged lines around its changes, from
// line `a_at` of the first sequence and the line `b_at` of the second that
// matches it, which it moves past the hunk's changes. Two changes with at
// most twice `context` unchanged lines between them share a hunk. False
// when no change is left.
bool next_hunk(const line_changes& changes, int64_t context, int64_t& a_at, int64_t& b_at,
               hunk& found);
