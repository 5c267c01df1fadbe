// Tab completion: what the word at the cursor can become. The choices are
// worked out here from the text alone, so they can be checked without a
// terminal; readline only shows them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

enum class completion_kind {
  file,       // the argument of load or new
  table,      // the argument of save
  sql_table,  // SQL right after FROM, JOIN, INTO, UPDATE or TABLE
  sql,        // any other word of SQL
};

// The kind of word the cursor is in, from the text before the cursor.
completion_kind completion_kind_at(std::string_view before_cursor);

// The characters that end a word of that kind, for readline's word search.
const char* completion_word_breaks(completion_kind kind);

// True when `name` can be written in SQL without backticks.
bool is_plain_identifier(std::string_view name);

// The completions of `typed` among `names`, each written as it must be typed:
// in SQL between backticks unless a plain identifier, after save between
// backticks when it holds white space. After an opening backtick (`quoted`)
// the bare names, whose closing backtick readline adds.
std::vector<std::string> complete_names(completion_kind kind, std::string_view typed, bool quoted,
                                        const std::vector<std::string>& names);

// The engine's SQL keywords that begin with `typed`, in the letter case of its
// first letter (upper case when it has none).
std::vector<std::string> complete_keywords(std::string_view typed);

// The function names among `names` that begin with `typed`, in its case as
// keywords are; names that are not plain words (operators) are left out.
std::vector<std::string> complete_functions(std::string_view typed,
                                            const std::vector<std::string>& names);

#ifdef PLINTH_HAVE_READLINE
// Sets readline to complete through the functions above.
void set_up_completion();
#endif
