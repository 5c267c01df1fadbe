// Regular expressions in SQL, backed by PCRE2: the function behind the
// engine's REGEXP operator and the regexp_* functions of line editing.
#include "extensions/regexp.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "extensions/extensions.h"
#include "os/os.h"
#include "texttable/texttable.h"

namespace {

// How much heap the interpreter may take for backtracking in one match. The
// JIT falls back to it when a match outgrows its stack; past this a pattern
// fails with "heap limit exceeded" instead of taking the machine's memory.
constexpr uint32_t heap_limit_kib = 256 * 1024;

// PCRE2 takes its memory from the engine's allocator, so its failures are the
// engine's "out of memory" too.
void* engine_malloc(PCRE2_SIZE size, void*) {
  return sqlite3_malloc64(size);
}
void engine_free(void* block, void*) {
  sqlite3_free(block);
}

}  // namespace

void free_pattern(void* kept) {
  auto* pattern = static_cast<compiled_pattern*>(kept);
  pcre2_match_context_free(pattern->match_context);
  pcre2_match_data_free(pattern->match_data);
  pcre2_code_free(pattern->heard);
  pcre2_code_free(pattern->code);
  sqlite3_free(pattern);
}

std::string pattern_error_message(int error, PCRE2_SIZE offset, const char* where) {
  if (error == PCRE2_ERROR_NOMEMORY || error == PCRE2_ERROR_HEAP_FAILED) return {};
  if (error == match_interrupted) return sqlite3_errstr(SQLITE_INTERRUPT);
  PCRE2_UCHAR message[256];
  if (pcre2_get_error_message(error, message, sizeof message) == PCRE2_ERROR_BADDATA) {
    snprintf(reinterpret_cast<char*>(message), sizeof message, "regular expression error %d",
             error);
  }
  char text[sizeof message + 64];
  if (offset == PCRE2_UNSET) {
    snprintf(text, sizeof text, "%s", message);
  } else {
    // Most messages about a replacement say so themselves.
    const bool said = strstr(reinterpret_cast<char*>(message), "replacement") != nullptr;
    snprintf(text, sizeof text, "%s at offset %zu%s", message, offset, said ? "" : where);
  }
  return text;
}

void set_pattern_error(sqlite3_context* context, int error, PCRE2_SIZE offset, const char* where) {
  // The engine's own interruption, so that the statement ends as it would.
  if (error == match_interrupted) {
    sqlite3_result_error_code(context, SQLITE_INTERRUPT);
    return;
  }
  std::string message = pattern_error_message(error, offset, where);
  if (message.empty()) {
    sqlite3_result_error_nomem(context);
  } else {
    sqlite3_result_error(context, message.c_str(), -1);
  }
}

bool text_of(sqlite3_context* context, sqlite3_value* value, std::string_view& text) {
  const unsigned char* bytes = sqlite3_value_text(value);
  if (bytes == nullptr) {
    sqlite3_result_error_nomem(context);
    return false;
  }
  text = std::string_view(reinterpret_cast<const char*>(bytes),
                          static_cast<size_t>(sqlite3_value_bytes(value)));
  return true;
}

bool any_null(int argc, sqlite3_value** argv) {
  for (int i = 0; i < argc; ++i) {
    if (sqlite3_value_type(argv[i]) == SQLITE_NULL) return true;
  }
  return false;
}

namespace {

// Whether searches that start at different places find what one search
// would. Not for an anchored pattern, nor one that a search tries only at
// the start of a line (it starts with .*), nor one whose \G, (*COMMIT) or
// (*SKIP) depends on where its search started (looked for in the text, so a
// literal one counts too).
bool searchable_in_stretches(const pcre2_code* code, std::string_view text) {
  uint32_t options = 0;
  uint32_t first = 0;
  pcre2_pattern_info(code, PCRE2_INFO_ALLOPTIONS, &options);
  pcre2_pattern_info(code, PCRE2_INFO_FIRSTCODETYPE, &first);
  const uint32_t at_line_starts = 2;
  return (options & PCRE2_ANCHORED) == 0 && first != at_line_starts &&
         text.find("\\G") == std::string_view::npos &&
         text.find("(*COMMIT") == std::string_view::npos &&
         text.find("(*SKIP") == std::string_view::npos;
}

// A pattern searched in one call hears a Ctrl-C through the callouts of its
// `heard` code: a single call may try every start position of a long line,
// or run long at one.
int stop_on_ctrl_c(pcre2_callout_block*, void*) {
  return sql_interrupted() ? match_interrupted : 0;
}

}  // namespace

compiled_pattern* compile_pattern(std::string_view text, int& error, PCRE2_SIZE& offset) {
  pcre2_general_context* memory = pcre2_general_context_create(engine_malloc, engine_free, nullptr);
  pcre2_compile_context* options = pcre2_compile_context_create(memory);
  auto* pattern = static_cast<compiled_pattern*>(sqlite3_malloc(sizeof(compiled_pattern)));
  if (pattern != nullptr) *pattern = {};
  error = PCRE2_ERROR_NOMEMORY;
  offset = PCRE2_UNSET;
  if (memory != nullptr && options != nullptr && pattern != nullptr) {
    auto compile = [&](uint32_t more) {
      return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                           PCRE2_UTF | PCRE2_MATCH_INVALID_UTF | PCRE2_USE_OFFSET_LIMIT | more,
                           &error, &offset, options);
    };
    pattern->code = compile(0);
    if (pattern->code != nullptr) {
      pattern->in_stretches = searchable_in_stretches(pattern->code, text);
      // The callouts cost a call before each item, so a short text, whose
      // search ends soon anyway, is searched without them.
      if (!pattern->in_stretches) pattern->heard = compile(PCRE2_AUTO_CALLOUT);
      // Without the JIT (no executable memory, out of memory) the
      // interpreter gives the same results, only slower.
      pattern->jit = pcre2_jit_compile(pattern->code, PCRE2_JIT_COMPLETE) == 0;
      pattern->heard_jit =
          pattern->heard != nullptr && pcre2_jit_compile(pattern->heard, PCRE2_JIT_COMPLETE) == 0;
      pattern->match_data = pcre2_match_data_create_from_pattern(pattern->code, nullptr);
      pattern->match_context = pcre2_match_context_create(memory);
      error = PCRE2_ERROR_NOMEMORY;
      offset = PCRE2_UNSET;
    }
  }
  pcre2_compile_context_free(options);
  pcre2_general_context_free(memory);
  if (pattern != nullptr && pattern->match_data != nullptr && pattern->match_context != nullptr) {
    pcre2_set_heap_limit(pattern->match_context, heap_limit_kib);
    pcre2_set_callout(pattern->match_context, stop_on_ctrl_c, nullptr);
    return pattern;
  }
  if (pattern != nullptr) free_pattern(pattern);
  return nullptr;
}

compiled_pattern* pattern_at(sqlite3_context* context, sqlite3_value** argv, int index) {
  if (auto* kept = static_cast<compiled_pattern*>(sqlite3_get_auxdata(context, index))) {
    return kept;
  }
  std::string_view text;
  if (!text_of(context, argv[index], text)) return nullptr;
  int error = 0;
  PCRE2_SIZE offset = PCRE2_UNSET;
  compiled_pattern* pattern = compile_pattern(text, error, offset);
  if (pattern == nullptr) set_pattern_error(context, error, offset);
  return pattern;
}

void keep_pattern(sqlite3_context* context, int index, compiled_pattern* pattern) {
  if (sqlite3_get_auxdata(context, index) != pattern) {
    sqlite3_set_auxdata(context, index, pattern, free_pattern);
  }
}

namespace {

// A text with more start positions than this is searched a stretch of them
// at a time, so that a Ctrl-C is heard between stretches; a shorter one, as
// every line of most files, in one call. The first stretch has this many.
// One start position may cost up to about 50 ms (the match limit).
constexpr PCRE2_SIZE first_stretch = 256;
// A pattern that scans the rest of the text from each start position makes
// each cost in proportion to the text: the first stretch of a long text is
// cut to about this many bytes scanned.
constexpr PCRE2_SIZE first_stretch_bytes = PCRE2_SIZE{16} << 20;
// The next stretch is sized from what the last cost per start position, to
// take half of this; it grows at most sixteenfold at a time.
constexpr std::chrono::duration<double> stretch_time = std::chrono::milliseconds(100);

// The options a search in stretches keeps for every stretch but the first.
constexpr uint32_t stretch_options = PCRE2_NOTBOL | PCRE2_NOTEOL | PCRE2_NOTEMPTY;

// One call to PCRE2, with the pattern's `heard` code when `heard`.
int match_once(compiled_pattern& pattern, std::string_view text, PCRE2_SIZE start, uint32_t options,
               bool heard = false) {
  auto subject = reinterpret_cast<PCRE2_SPTR>(text.data());
  const pcre2_code* code = heard ? pattern.heard : pattern.code;
  pattern.searched = code;
  if (heard ? pattern.heard_jit : pattern.jit) {
    int result = pcre2_jit_match(code, subject, text.size(), start, options, pattern.match_data,
                                 pattern.match_context);
    if (result != PCRE2_ERROR_JIT_STACKLIMIT) return result;
  }
  return pcre2_match(code, subject, text.size(), start, options | PCRE2_NO_JIT, pattern.match_data,
                     pattern.match_context);
}

// Whether a valid UTF-8 character begins at byte `at`. A search over the whole
// text tries a match at each such place, as a search that starts there does;
// a search that starts inside a character or at an invalid byte skips ahead.
bool begins_character(std::string_view text, size_t at) {
  auto within = [&](size_t i, unsigned low, unsigned high) {
    const auto byte = at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
    return byte >= low && byte <= high;
  };
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return true;
  if (lead < 0xc2) return false;
  if (lead < 0xe0) return within(1, 0x80, 0xbf);
  if (lead < 0xf0) {
    return within(1, lead == 0xe0 ? 0xa0 : 0x80, lead == 0xed ? 0x9f : 0xbf) &&
           within(2, 0x80, 0xbf);
  }
  return lead < 0xf5 && within(1, lead == 0xf0 ? 0x90 : 0x80, lead == 0xf4 ? 0x8f : 0xbf) &&
         within(2, 0x80, 0xbf) && within(3, 0x80, 0xbf);
}

// The search of a long text, a stretch of start positions at a time, with a
// look between stretches for a Ctrl-C. PCRE2's limits bound the work at one
// start position, not the number of start positions: a pattern that scans
// the rest of a long line from each of them could run for hours. Kept apart
// so that a short text's search costs no more than the call to PCRE2.
[[gnu::noinline]] int search_in_stretches(compiled_pattern& pattern, std::string_view text,
                                          PCRE2_SIZE start, uint32_t options) {
  using clock = std::chrono::steady_clock;
  PCRE2_SIZE stretch =
      std::clamp<PCRE2_SIZE>(first_stretch_bytes / (text.size() - start), 1, first_stretch);
  int result = PCRE2_ERROR_NOMATCH;
  while (!sql_interrupted()) {
    PCRE2_SIZE next = start + std::min(stretch, text.size() - start);
    while (next < text.size() && !begins_character(text, next)) ++next;
    pcre2_set_offset_limit(pattern.match_context, next < text.size() ? next - 1 : PCRE2_UNSET);
    const clock::time_point began = clock::now();
    result = match_once(pattern, text, start, options);
    if (result != PCRE2_ERROR_NOMATCH || next >= text.size()) break;
    const double took = (clock::now() - began) / stretch_time;
    const double scale = took * 16 < 0.5 ? 16 : 0.5 / took;
    stretch = std::clamp<PCRE2_SIZE>(static_cast<PCRE2_SIZE>(static_cast<double>(stretch) * scale),
                                     1, text.size());
    start = next;
    // An empty match is refused only where the search was asked to start.
    options &= stretch_options;
  }
  pcre2_set_offset_limit(pattern.match_context, PCRE2_UNSET);
  if (sql_interrupted()) return match_interrupted;
  return result;
}

}  // namespace

int find_match(compiled_pattern& pattern, std::string_view text, PCRE2_SIZE start,
               uint32_t options) {
  const bool long_text = text.size() > first_stretch && start < text.size() - first_stretch;
  if (long_text && pattern.in_stretches &&
      (options & ~(stretch_options | PCRE2_NOTEMPTY_ATSTART)) == 0) {
    return search_in_stretches(pattern, text, start, options);
  }
  return match_once(pattern, text, start, options, long_text && pattern.heard != nullptr);
}

namespace {

// Matches argument `pattern_index` against argument `text_index` and passes
// the text, the pattern and the match result to `use`, which sets the
// function's result. Any NULL argument gives NULL.
template <typename Use>
void with_match(sqlite3_context* context, int argc, sqlite3_value** argv, int text_index,
                int pattern_index, Use use) {
  if (any_null(argc, argv)) return;
  std::string_view text;
  if (!text_of(context, argv[text_index], text)) return;
  compiled_pattern* pattern = pattern_at(context, argv, pattern_index);
  if (pattern == nullptr) return;
  int result = find_match(*pattern, text);
  if (result < 0 && result != PCRE2_ERROR_NOMATCH) {
    set_pattern_error(context, result, PCRE2_UNSET);
  } else {
    use(text, *pattern, result);
  }
  keep_pattern(context, pattern_index, pattern);
}

void set_found(sqlite3_context* context, int result) {
  sqlite3_result_int(context, result > 0 ? 1 : 0);
}

// regexp(pattern, text), which the engine calls for `text REGEXP pattern`.
void regexp_function(sqlite3_context* context, int argc, sqlite3_value** argv) {
  with_match(context, argc, argv, 1, 0,
             [&](std::string_view, compiled_pattern&, int result) { set_found(context, result); });
}

// regexp_like(text, pattern)
void regexp_like_function(sqlite3_context* context, int argc, sqlite3_value** argv) {
  with_match(context, argc, argv, 0, 1,
             [&](std::string_view, compiled_pattern&, int result) { set_found(context, result); });
}

// Group `group` of the match as the result; NULL when there was no match, or
// the group does not exist or took no part in it.
void set_group(sqlite3_context* context, std::string_view text, compiled_pattern& pattern,
               int result, sqlite3_int64 group) {
  if (result <= 0 || group < 0 || group >= result) return;
  const PCRE2_SIZE* offsets = pcre2_get_ovector_pointer(pattern.match_data);
  const PCRE2_SIZE start = offsets[2 * group];
  const PCRE2_SIZE end = offsets[2 * group + 1];
  if (start == PCRE2_UNSET || end < start) return;
  sqlite3_result_text64(context, text.data() + start, end - start, SQLITE_TRANSIENT, SQLITE_UTF8);
}

// regexp_substr(text, pattern): the first match.
void regexp_substr_function(sqlite3_context* context, int argc, sqlite3_value** argv) {
  with_match(context, argc, argv, 0, 1,
             [&](std::string_view text, compiled_pattern& pattern, int result) {
               set_group(context, text, pattern, result, 0);
             });
}

// regexp_capture(text, pattern, n): group n of the first match.
void regexp_capture_function(sqlite3_context* context, int argc, sqlite3_value** argv) {
  with_match(context, argc, argv, 0, 1,
             [&](std::string_view text, compiled_pattern& pattern, int result) {
               set_group(context, text, pattern, result, sqlite3_value_int64(argv[2]));
             });
}

// Appends the replacement of the match in the match data, its group
// references filled in. PCRE2's error code, or 0; `error_at` is the offset in
// the replacement of a syntax error.
int append_replacement(sqlite3_str* out, std::string_view text, compiled_pattern& pattern,
                       std::string_view replacement, PCRE2_SIZE& error_at) {
  // A group that took no part in the match inserts nothing; a group that
  // does not exist is an error.
  const uint32_t options = PCRE2_SUBSTITUTE_MATCHED | PCRE2_SUBSTITUTE_REPLACEMENT_ONLY |
                           PCRE2_SUBSTITUTE_UNSET_EMPTY | PCRE2_SUBSTITUTE_OVERFLOW_LENGTH;
  auto substitute = [&](PCRE2_UCHAR* buffer, PCRE2_SIZE& length) {
    int result = pcre2_substitute(
        pattern.searched, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, options,
        pattern.match_data, pattern.match_context, reinterpret_cast<PCRE2_SPTR>(replacement.data()),
        replacement.size(), buffer, &length);
    if (result >= 0) {
      sqlite3_str_append(out, reinterpret_cast<char*>(buffer), static_cast<int>(length));
    }
    return result;
  };
  PCRE2_UCHAR small[256];
  PCRE2_SIZE length = sizeof small;
  int result = substitute(small, length);
  if (result == PCRE2_ERROR_NOMEMORY && length != PCRE2_UNSET) {
    // Too long for the small buffer: PCRE2 told the size it needs.
    auto* buffer = static_cast<PCRE2_UCHAR*>(sqlite3_malloc64(length));
    if (buffer == nullptr) return PCRE2_ERROR_NOMEMORY;
    result = substitute(buffer, length);
    sqlite3_free(buffer);
  }
  error_at = length;
  return result < 0 ? result : 0;
}

// The text with every match replaced, as the result. Matches are found as
// PCRE2's global substitution finds them, except that after an empty match
// the next search starts at the same place and only refuses an empty match
// there: PCRE2's own retry, anchored there, runs on past an invalid byte to
// a match beyond it and so skips the text between.
void set_replaced(sqlite3_context* context, std::string_view text, compiled_pattern& pattern,
                  std::string_view replacement) {
  int result = find_match(pattern, text);
  if (result == PCRE2_ERROR_NOMATCH) {
    sqlite3_result_text64(context, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    return;
  }
  sqlite3_str* out = sqlite3_str_new(sqlite3_context_db_handle(context));
  PCRE2_SIZE copied = 0;  // the text before this is in `out`
  PCRE2_SIZE error_at = PCRE2_UNSET;
  while (result > 0) {
    const PCRE2_SIZE* offsets = pcre2_get_ovector_pointer(pattern.match_data);
    const PCRE2_SIZE start = offsets[0];
    const PCRE2_SIZE end = offsets[1];
    if (start < copied || end < start) {
      result = PCRE2_ERROR_BADSUBSPATTERN;  // \K moved the match back
      break;
    }
    sqlite3_str_append(out, text.data() + copied, static_cast<int>(start - copied));
    result = append_replacement(out, text, pattern, replacement, error_at);
    if (result < 0) break;
    error_at = PCRE2_UNSET;  // a failed search after it is no fault of the replacement
    copied = end;
    if (end == start && end == text.size()) break;
    result = find_match(pattern, text, end, end == start ? PCRE2_NOTEMPTY_ATSTART : 0);
  }
  if (result == PCRE2_ERROR_NOMATCH || result >= 0) {
    sqlite3_str_append(out, text.data() + copied, static_cast<int>(text.size() - copied));
  }
  const int length = sqlite3_str_length(out);
  const int status = sqlite3_str_errcode(out);
  char* replaced = sqlite3_str_finish(out);
  if (result < 0 && result != PCRE2_ERROR_NOMATCH) {
    sqlite3_free(replaced);
    set_pattern_error(context, result, error_at, " in the replacement");
  } else if (status == SQLITE_TOOBIG) {
    sqlite3_free(replaced);
    sqlite3_result_error_toobig(context);
  } else if (status != SQLITE_OK) {
    sqlite3_free(replaced);
    sqlite3_result_error_nomem(context);
  } else if (replaced == nullptr) {
    sqlite3_result_text(context, "", 0, SQLITE_STATIC);
  } else {
    sqlite3_result_text64(context, replaced, static_cast<sqlite3_uint64>(length), sqlite3_free,
                          SQLITE_UTF8);
  }
}

// regexp_replace(text, pattern, replacement)
void regexp_replace_function(sqlite3_context* context, int argc, sqlite3_value** argv) {
  if (any_null(argc, argv)) return;
  std::string_view text;
  std::string_view replacement;
  if (!text_of(context, argv[0], text) || !text_of(context, argv[2], replacement)) return;
  compiled_pattern* pattern = pattern_at(context, argv, 1);
  if (pattern == nullptr) return;
  set_replaced(context, text, *pattern, replacement);
  keep_pattern(context, 1, pattern);
}

}  // namespace

bool register_regexp_functions(sqlite3* db) {
  static constexpr sql_function functions[] = {
      {"regexp", 2, regexp_function},
      {"regexp_like", 2, regexp_like_function},
      {"regexp_substr", 2, regexp_substr_function},
      {"regexp_capture", 3, regexp_capture_function},
      {"regexp_replace", 3, regexp_replace_function},
  };
  return add_sql_functions(db, functions, std::size(functions));
}
