// The compiled patterns behind the regular expression functions, shared by
// every SQL function that takes a pattern.
#pragma once

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <sqlite3.h>

#include <cstddef>
#include <string>
#include <string_view>

// A pattern compiled for one statement, kept by the engine as auxiliary data
// on the pattern argument, with the match data every row reuses.
struct compiled_pattern {
  pcre2_code* code;
  pcre2_match_data* match_data;
  pcre2_match_context* match_context;
  bool jit;
  // A long text may be searched a stretch of start positions at a time:
  // false when the pattern is anchored or tried only at line starts, or where
  // a search starts changes its result (\G, (*COMMIT), (*SKIP)).
  bool in_stretches;
  // For a pattern not searched in stretches, the same pattern with a callout
  // before each of its items, which hears a Ctrl-C: a long text is searched
  // with it. Null for the others, and when it would outgrow PCRE2's limit on
  // the size of a compiled pattern.
  pcre2_code* heard;
  bool heard_jit;
  // The code of the last search, which a replacement must be given with its
  // match data.
  const pcre2_code* searched;
};

// Compiles a pattern as the regexp functions do, with their options and
// limits, where no function call is under way (a virtual table's filter).
// Null on refusal, with PCRE2's error code and the offset of the fault.
compiled_pattern* compile_pattern(std::string_view text, int& error, PCRE2_SIZE& offset);
void free_pattern(void* pattern);

// The message of a PCRE2 error code, and the offset when there is one,
// followed by `where`; empty when the error is a lack of memory.
std::string pattern_error_message(int error, PCRE2_SIZE offset, const char* where = "");

// find_match's result when a Ctrl-C stopped the search; set_pattern_error
// makes it the engine's "interrupted".
inline constexpr int match_interrupted = -1000;

// Sets the statement's error from a PCRE2 error code: its message, and the
// offset when there is one, followed by `where`.
void set_pattern_error(sqlite3_context* context, int error, PCRE2_SIZE offset,
                       const char* where = "");

// The argument as UTF-8 text (a number or a blob as its text) and its length
// in bytes, which may count zero bytes. False, with the error set, when the
// engine ran out of memory converting it.
bool text_of(sqlite3_context* context, sqlite3_value* value, std::string_view& text);

bool any_null(int argc, sqlite3_value** argv);

// The compiled pattern of argument `index`: the one kept for the statement,
// or a new one that keep_pattern must be given once the row is done with it.
// Null, with the error set, when the pattern is refused.
compiled_pattern* pattern_at(sqlite3_context* context, sqlite3_value** argv, int index);

// Hands a pattern from pattern_at to the engine, which frees it when the
// statement ends, or at once when the pattern varies from row to row. It must
// not be used after this.
void keep_pattern(sqlite3_context* context, int index, compiled_pattern* pattern);

// One match in the text from byte `start` on. PCRE2's result: above zero
// when it matched, PCRE2_ERROR_NOMATCH when not, another negative code on
// error, match_interrupted after a Ctrl-C.
int find_match(compiled_pattern& pattern, std::string_view text, PCRE2_SIZE start = 0,
               uint32_t options = 0);
