#include "extensions/shortest_difference.h"

#include <algorithm>
#include <limits>

namespace {

// How much work passes between two questions to `stop`.
constexpr uint64_t work_between_stops = uint64_t{1} << 20;

// The work (diagonals tried and lines compared) after which a search over
// all lines gives way to one over the lines that the other side may hold.
constexpr uint64_t work_before_leaving_out = uint64_t{1} << 27;

// The furthest point x that a search has reached on each diagonal k = x - y,
// for the diagonals within `half` of the one it started from: after d steps
// a search has been on 2d + 1 of them, however long the sequences are.
struct diagonals {
  std::vector<int64_t> x;
  int64_t center = 0;
  int64_t half = -1;
};

int64_t& at(diagonals& v, int64_t k) {
  return v.x[static_cast<size_t>(k - v.center + v.half)];
}

// Makes the diagonals within `distance` of the center addressable, keeping
// what is stored there.
void reach(diagonals& v, int64_t distance) {
  if (distance <= v.half) return;
  const int64_t half = std::max({distance, 2 * v.half, int64_t{16}});
  std::vector<int64_t> grown(static_cast<size_t>(2 * half + 1));
  if (v.half >= 0) std::copy(v.x.begin(), v.x.end(), grown.begin() + (half - v.half));
  v.x.swap(grown);
  v.half = half;
}

struct search {
  const uint64_t* a = nullptr;
  const uint64_t* b = nullptr;
  // The places of the lines that `a` and `b` hold in the whole sequences,
  // when some were left out; null when they hold all.
  const int64_t* a_lines = nullptr;
  const int64_t* b_lines = nullptr;
  uint8_t* removed = nullptr;  // at line 0 of the whole sequences
  uint8_t* added = nullptr;
  diagonals forward;
  diagonals backward;
  bool (*stop)() = nullptr;
  uint64_t work = 0;
  uint64_t next_stop = work_between_stops;
  uint64_t budget = std::numeric_limits<uint64_t>::max();
  bool stopped = false;  // by `stop`, or for the budget
};

bool go_on(search& s, uint64_t work) {
  s.work += work;
  if (s.work >= s.next_stop) {
    s.next_stop = s.work + work_between_stops;
    if (s.stop != nullptr && s.stop()) s.stopped = true;
  }
  if (s.work > s.budget) s.stopped = true;
  return !s.stopped;
}

void mark(uint8_t* marks, const int64_t* lines, int64_t from, int64_t to) {
  for (int64_t k = from; k < to; ++k) marks[lines != nullptr ? lines[k] : k] = 1;
}

// The box of lines a search runs through, its corners' diagonals, and the
// diagonals each search has reached, every other one between min and max.
struct box {
  int64_t xoff, xlim, yoff, ylim;
  int64_t dmin, dmax;
  int64_t fmin, fmax, bmin, bmax;
  bool odd;  // the searches start on diagonals of different parity
};

// Both ends of a search's range move out by a diagonal, or in where they
// meet a corner's; a diagonal newly reached has its neighbour marked as
// reached nowhere.
void widen(diagonals& v, int64_t& min, int64_t& max, const box& x, int64_t nowhere) {
  if (min > x.dmin) {
    at(v, --min - 1) = nowhere;
  } else {
    ++min;
  }
  if (max < x.dmax) {
    at(v, ++max + 1) = nowhere;
  } else {
    --max;
  }
}

// A step of the search from (xoff, yoff); true when it meets the other.
bool step_forward(search& s, box& x, uint64_t& work, int64_t& xmid, int64_t& ymid) {
  diagonals& f = s.forward;
  widen(f, x.fmin, x.fmax, x, -1);
  for (int64_t d = x.fmax; d >= x.fmin; d -= 2) {
    const int64_t below = at(f, d - 1), above = at(f, d + 1);
    int64_t i = std::min({below < above ? above : below + 1, x.xlim, x.ylim + d});
    int64_t j = i - d;
    const int64_t start = i;
    while (i < x.xlim && j < x.ylim && s.a[i] == s.b[j]) ++i, ++j;
    work += static_cast<uint64_t>(i - start);
    at(f, d) = i;
    if (x.odd && x.bmin <= d && d <= x.bmax && at(s.backward, d) <= i) {
      xmid = i;
      ymid = j;
      return true;
    }
  }
  return false;
}

// A step of the search from (xlim, ylim); true when it meets the other.
bool step_backward(search& s, box& x, uint64_t& work, int64_t& xmid, int64_t& ymid) {
  diagonals& r = s.backward;
  widen(r, x.bmin, x.bmax, x, std::numeric_limits<int64_t>::max());
  for (int64_t d = x.bmax; d >= x.bmin; d -= 2) {
    const int64_t below = at(r, d - 1), above = at(r, d + 1);
    int64_t i = std::max({below < above ? below : above - 1, x.xoff, x.yoff + d});
    int64_t j = i - d;
    const int64_t start = i;
    while (i > x.xoff && j > x.yoff && s.a[i - 1] == s.b[j - 1]) --i, --j;
    work += static_cast<uint64_t>(start - i);
    at(r, d) = i;
    if (!x.odd && x.fmin <= d && d <= x.fmax && i <= at(s.forward, d)) {
      xmid = i;
      ymid = j;
      return true;
    }
  }
  return false;
}

// A point (xmid, ymid) in the middle of a shortest path from (xoff, yoff)
// to (xlim, ylim), where the lines at both ends differ: searched from both
// ends at once, a step at a time, until the two searches meet. On a tie a
// step forward removes rather than adds, and the diagonals are tried from
// the highest down; the meeting found first is taken.
bool middle(search& s, int64_t xoff, int64_t xlim, int64_t yoff, int64_t ylim, int64_t& xmid,
            int64_t& ymid) {
  box x{xoff, xlim, yoff, ylim, xoff - ylim, xlim - yoff, 0, 0, 0, 0, false};
  x.fmin = x.fmax = s.forward.center = xoff - yoff;
  x.bmin = x.bmax = s.backward.center = xlim - ylim;
  x.odd = ((x.fmin - x.bmin) & 1) != 0;
  reach(s.forward, 1);
  reach(s.backward, 1);
  at(s.forward, x.fmin) = xoff;
  at(s.backward, x.bmin) = xlim;
  uint64_t work = 0;  // lines compared along the diagonals
  for (int64_t step = 1;; ++step) {
    reach(s.forward, step + 1);
    reach(s.backward, step + 1);
    work += static_cast<uint64_t>(x.fmax - x.fmin + x.bmax - x.bmin + 2);
    if (!go_on(s, work)) return false;
    work = 0;
    if (step_forward(s, x, work, xmid, ymid) || step_backward(s, x, work, xmid, ymid)) {
      return true;
    }
  }
}

// Marks the lines of [xoff, xlim) and [yoff, ylim) that a shortest path
// between them removes and adds. Each split halves the steps left, so the
// calls nest only as deep as their logarithm.
bool compare(search& s, int64_t xoff, int64_t xlim, int64_t yoff, int64_t ylim) {
  while (xoff < xlim && yoff < ylim && s.a[xoff] == s.b[yoff]) ++xoff, ++yoff;
  while (xoff < xlim && yoff < ylim && s.a[xlim - 1] == s.b[ylim - 1]) --xlim, --ylim;
  if (xoff == xlim || yoff == ylim) {
    mark(s.removed, s.a_lines, xoff, xlim);
    mark(s.added, s.b_lines, yoff, ylim);
    return true;
  }
  int64_t xmid = 0, ymid = 0;
  return middle(s, xoff, xlim, yoff, ylim, xmid, ymid) && compare(s, xoff, xmid, yoff, ymid) &&
         compare(s, xmid, xlim, ymid, ylim);
}

// Moves each run of changed lines of one side up as far as equal lines
// allow, joining any run it meets, then down as far, joining again, and
// then back up to the last place where it ends beside a change of the other
// side, if it passed one: so a run ends as low as it can, and a removal and
// an addition that can meet do. A run moves among the first `n` lines;
// `other` marks the other side's changes, and both have a 0 before their
// first line and after their last.
void shift_runs(const uint64_t* lines, int64_t n, uint8_t* changed, const uint8_t* other) {
  int64_t i = 0, j = 0;  // j: the other side's line that matches line i
  for (;;) {
    while (i < n && !changed[i]) {
      while (other[j]) ++j;
      ++i, ++j;
    }
    if (i == n) return;
    int64_t start = i;
    while (changed[i]) ++i;
    while (other[j]) ++j;
    int64_t length = 0, beside_other = n;
    do {
      length = i - start;
      while (start > 0 && lines[start - 1] == lines[i - 1]) {
        changed[--start] = 1;
        changed[--i] = 0;
        while (changed[start - 1]) --start;
        while (other[--j]) continue;
      }
      beside_other = other[j - 1] ? i : n;
      while (i < n && lines[start] == lines[i]) {
        changed[start++] = 0;
        changed[i++] = 1;
        while (changed[i]) ++i;
        while (other[++j]) beside_other = i;
      }
    } while (length != i - start);
    while (beside_other < i) {
      changed[--start] = 1;
      changed[--i] = 0;
      while (other[--j]) continue;
    }
  }
}

// The lines of `lines` that the other side holds (its lines, sorted), into
// `kept` and their places into `places`; the others are marked changed.
void keep_matched(const uint64_t* lines, int64_t count, const std::vector<uint64_t>& other,
                  uint8_t* changed, std::vector<uint64_t>& kept, std::vector<int64_t>& places) {
  for (int64_t k = 0; k < count; ++k) {
    if (std::binary_search(other.begin(), other.end(), lines[k])) {
      kept.push_back(lines[k]);
      places.push_back(k);
    } else {
      changed[k] = 1;
    }
  }
}

std::vector<uint64_t> sorted(const uint64_t* lines, int64_t count) {
  std::vector<uint64_t> copy(lines, lines + count);
  std::sort(copy.begin(), copy.end());
  return copy;
}

}  // namespace

// Lines of one side that no line of the other matches are changes of every
// shortest difference. When the search over all lines takes long, it is
// made again over the others alone: a file of CR LF lines saved with LF
// matches nothing, and is then found changed whole at once. That search may
// choose another of the equally short differences, so it is kept for then.
bool find_line_changes(const uint64_t* a, int64_t n, const uint64_t* b, int64_t m, int64_t context,
                       line_changes& changes, bool (*stop)()) {
  changes.removed.assign(static_cast<size_t>(n + 2), 0);
  changes.added.assign(static_cast<size_t>(m + 2), 0);
  search s;
  s.a = a;
  s.b = b;
  s.removed = changes.removed.data() + 1;
  s.added = changes.added.data() + 1;
  s.stop = stop;
  s.budget = work_before_leaving_out;
  if (!compare(s, 0, n, 0, m)) {
    if (s.work <= s.budget) return false;
    std::fill(changes.removed.begin(), changes.removed.end(), 0);
    std::fill(changes.added.begin(), changes.added.end(), 0);
    std::vector<uint64_t> kept_a, kept_b;
    std::vector<int64_t> places_a, places_b;
    keep_matched(a, n, sorted(b, m), s.removed, kept_a, places_a);
    keep_matched(b, m, sorted(a, n), s.added, kept_b, places_b);
    s.a = kept_a.data();
    s.b = kept_b.data();
    s.a_lines = places_a.data();
    s.b_lines = places_b.data();
    s.budget = std::numeric_limits<uint64_t>::max();
    s.stopped = false;
    if (!compare(s, 0, static_cast<int64_t>(kept_a.size()), 0,
                 static_cast<int64_t>(kept_b.size()))) {
      return false;
    }
  }
  // A run moves down no further than `context` lines, which a hunk shows,
  // into the lines that both sides end with; those are counted back to no
  // more than `context` lines into the lines that both begin with.
  int64_t prefix = 0;
  while (prefix < n && prefix < m && a[prefix] == b[prefix]) ++prefix;
  const int64_t shown = std::max(prefix - context, int64_t{0});
  int64_t suffix = 0;
  while (suffix < std::min(n, m) - shown && a[n - 1 - suffix] == b[m - 1 - suffix]) ++suffix;
  const int64_t after = std::max(suffix - context, int64_t{0});
  shift_runs(a, n - after, s.removed, s.added);
  shift_runs(b, m - after, s.added, s.removed);
  return true;
}

bool next_hunk(const line_changes& changes, int64_t context, int64_t& a_at, int64_t& b_at,
               hunk& found) {
  const int64_t n = first_lines(changes), m = second_lines(changes);
  const uint8_t* removed = changes.removed.data() + 1;
  const uint8_t* added = changes.added.data() + 1;
  int64_t i = a_at, j = b_at;
  while ((i < n || j < m) && !removed[i] && !added[j]) ++i, ++j;
  if (i >= n && j >= m) return false;
  const int64_t before = std::min({context, i, j});
  found.a_begin = i - before;
  found.b_begin = j - before;
  for (;;) {
    while (removed[i]) ++i;
    while (added[j]) ++j;
    int64_t same = 0;  // unchanged lines up to the next change
    while ((i + same < n || j + same < m) && !removed[i + same] && !added[j + same]) ++same;
    const bool last = i + same >= n && j + same >= m;
    if (last || same > 2 * context) {
      found.a_end = i + std::min(same, context);
      found.b_end = j + std::min(same, context);
      a_at = i + same;
      b_at = j + same;
      return true;
    }
    i += same;
    j += same;
  }
}
