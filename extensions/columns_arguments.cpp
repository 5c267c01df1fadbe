#include "extensions/columns_arguments.h"

#include <sqlite3.h>

using std::string;
using std::string_view;

string_view trim(string_view text) {
  const char* blanks = " \t\r\n\f\v";
  const size_t start = text.find_first_not_of(blanks);
  if (start == string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(blanks) - start + 1);
}

bool same_ignoring_case(string_view a, string_view b) {
  return a.size() == b.size() &&
         sqlite3_strnicmp(a.data(), b.data(), static_cast<int>(a.size())) == 0;
}

namespace {

// A name or value as SQL writes it: between backticks, double or single
// quotes or square brackets (each quote inside doubled), or bare. False when
// a quote is never closed or text follows it.
bool unquote(string_view text, string& out) {
  text = trim(text);
  out.clear();
  if (text.empty() || string_view("`\"'[").find(text[0]) == string_view::npos) {
    out.assign(text);
    return true;
  }
  const char close = text[0] == '[' ? ']' : text[0];
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i] != close) {
      out += text[i];
    } else if (close != ']' && i + 1 < text.size() && text[i + 1] == close) {
      out += close;
      ++i;
    } else {
      return i + 1 == text.size();
    }
  }
  return false;
}

bool ends_with_ignoring_case(string_view text, string_view suffix) {
  return text.size() >= suffix.size() &&
         same_ignoring_case(text.substr(text.size() - suffix.size()), suffix);
}

// One key=value argument into `parsed`; false with `error` when it is not
// one that columns takes.
bool parse_option(string_view argument, arguments& parsed, bool& delimiter_given, string& error) {
  const size_t equals = argument.find('=');
  const string_view key = trim(argument.substr(0, equals));
  string value;
  const bool readable = equals != string_view::npos && unquote(argument.substr(equals + 1), value);
  if (readable && same_ignoring_case(key, "header")) {
    if (!same_ignoring_case(value, "yes") && !same_ignoring_case(value, "no")) {
      error = string("columns: header must be yes or no: ").append(argument);
      return false;
    }
    parsed.header = same_ignoring_case(value, "yes");
    return true;
  }
  if (equals != string_view::npos && same_ignoring_case(key, "delimiter")) {
    if (readable && same_ignoring_case(value, "tab")) value.assign(1, '\t');
    if (!readable || value.size() != 1 || value[0] == '"') {
      error = string("columns: bad delimiter: ")
                  .append(argument)
                  .append(" (one byte other than a double quote, or tab)");
      return false;
    }
    parsed.format.delimiter = value[0];
    delimiter_given = true;
    return true;
  }
  error = string("columns: unknown argument: ").append(argument);
  return false;
}

}  // namespace

bool parse_arguments(int argc, const char* const* argv, arguments& parsed, string& error) {
  if (argc < 4 || !unquote(argv[3], parsed.table) || parsed.table.empty()) {
    error = argc < 4 ? "columns: name the text table: using columns(table)"
                     : string("columns: bad text table name: ").append(trim(argv[3]));
    return false;
  }
  bool delimiter_given = false;
  for (int i = 4; i < argc; ++i) {
    if (!parse_option(trim(argv[i]), parsed, delimiter_given, error)) return false;
  }
  if (!delimiter_given && (ends_with_ignoring_case(parsed.table, ".tsv") ||
                           ends_with_ignoring_case(parsed.table, ".tab"))) {
    parsed.format.delimiter = '\t';
  }
  parsed.format.quoting = parsed.format.delimiter != '\t';
  return true;
}
