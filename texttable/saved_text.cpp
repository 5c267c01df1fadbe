#include "texttable/saved_text.h"

#include <algorithm>
#include <cstring>

#include "shell/shell.h"
#include "texttable/texttable.h"

namespace {

// The name of the function that marks a row holding a zero byte: no name a
// user gives a function of theirs.
constexpr char zero_byte_function[] = "plinth zero byte";

// 1 where one of the values holds a zero byte, else NULL.
void mark_zero_byte(sqlite3_context* context, int count, sqlite3_value** values) {
  for (int i = 0; i < count; ++i) {
    const int type = sqlite3_value_type(values[i]);
    if (type != SQLITE_TEXT && type != SQLITE_BLOB) continue;
    const void* bytes =
        type == SQLITE_TEXT ? sqlite3_value_text(values[i]) : sqlite3_value_blob(values[i]);
    if (bytes != nullptr && memchr(bytes, 0, static_cast<size_t>(sqlite3_value_bytes(values[i])))) {
      sqlite3_result_int(context, 1);
      return;
    }
  }
}

struct reading {
  table_rows* t;
  bool out_of_memory = false;
};

// Called by the engine for each row: its values and, last, the mark.
int take_row(void* data, int count, char** values, char**) {
  reading& read = *static_cast<reading*>(data);
  table_rows& t = *read.t;
  const int columns = count - 1;
  for (int c = 0; c < columns; ++c) {
    if (values[c] != nullptr) {
      const size_t length = strlen(values[c]);
      t.text.append(values[c], length);
      if (c >= (t.skip_row ? 1 : 0)) t.laid_out += length;
    }
    t.ends.push_back(t.text.size());
  }
  ++t.rows;
  if (values[columns] != nullptr && t.zero_byte_row.empty()) {
    const bool numbered = t.row_column >= 0 && values[t.row_column] != nullptr;
    t.zero_byte_row = numbered ? values[t.row_column] : std::to_string(t.rows);
  }
  return 0;
}

// The columns of the table, from its first row: how many, and which is
// `row`. None when it has no rows.
int take_names(void* data, int count, char**, char** names) {
  table_rows& t = *static_cast<table_rows*>(data);
  t.columns = count;
  t.skip_row = strcmp(names[0] ? names[0] : "", "row") == 0;
  for (int c = 0; c < count && t.row_column < 0; ++c) {
    if (names[c] != nullptr && strcmp(names[c], "row") == 0) t.row_column = c;
  }
  return 0;
}

bool run(const char* query, sqlite3_callback callback, void* data, std::string& error) {
  if (query == nullptr) {
    error = sqlite3_errstr(SQLITE_NOMEM);
    return false;
  }
  char* message = nullptr;
  const int result = sqlite3_exec(scratch_db, query, callback, data, &message);
  engine_string owned = own(message);
  if (result == SQLITE_OK) return true;
  error = result == SQLITE_NOMEM || message == nullptr ? sqlite3_errstr(result) : message;
  return false;
}

}  // namespace

std::string record_of_table(sqlite3* db, const char* name) {
  // The name as the engine holds it: plinth's statements double its single
  // quotes.
  std::string held;
  for (const char* c = name; *c != '\0'; ++c) held += *c == '\'' ? "''" : std::string(1, *c);
  engine_string query = own(sqlite3_mprintf(
      "select exists (select 1 from temp.sqlite_schema where type in ('table', 'view') and "
      "name = '%q' collate nocase) or not exists (select 1 from main.sqlite_schema where type in "
      "('table', 'view') and name = '%q' collate nocase) and exists (select 1 from "
      "pragma_table_list where schema not in ('main', 'temp') and name = '%q' collate nocase)",
      held.c_str(), held.c_str(), held.c_str()));
  std::string elsewhere;
  const auto take = [](void* out, int, char** values, char**) {
    *static_cast<std::string*>(out) = values[0] != nullptr ? values[0] : "";
    return 0;
  };
  if (query == nullptr || sqlite3_exec(db, query.get(), take, &elsewhere, nullptr) != SQLITE_OK ||
      elsewhere != "1") {
    return name;
  }
  // No typed name holds a zero byte.
  return std::string("\0elsewhere\0", 11) + name;
}

int64_t laid_out_size(const table_rows& t, const text_form& form) {
  const std::string_view end = line_end_of(form);
  if (form.encoding == text_encoding::utf8 && end == "\n") {
    const int first = t.skip_row ? 1 : 0;
    const int tabs = t.columns - first - 1 + (first == 0 && t.columns == 1 ? 1 : 0);
    return static_cast<int64_t>(t.laid_out) +
           static_cast<int64_t>(t.rows) * (std::max(tabs, 0) + static_cast<int64_t>(end.size()));
  }
  int64_t size = 0;
  lay_out(t, form, [&](const char*, size_t length) {
    size += static_cast<int64_t>(length);
    return true;
  });
  return size;
}

// Each row is marked where a value holds a zero byte: the engine hands values
// over as text that ends at the first one. The first row gives the columns,
// renamed in order so that any names serve.
bool read_table_rows(const char* name, table_rows& t, std::string& error) {
  t = table_rows();
  const std::string quoted = double_backticks(name);
  engine_string query = own(sqlite3_mprintf("select * from `%q` limit 1", quoted.c_str()));
  if (!run(query.get(), take_names, &t, error)) return false;
  if (t.columns == 0) return true;
  std::string columns;
  for (int c = 0; c < t.columns; ++c) {
    columns += (c > 0 ? ", c" : "c") + std::to_string(c);
  }
  if (sqlite3_create_function(scratch_db, zero_byte_function, -1,
                              SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, nullptr,
                              mark_zero_byte, nullptr, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(scratch_db);
    return false;
  }
  // The rows' own name with a suffix, which no name of the table can be.
  query = own(sqlite3_mprintf(
      "with `%q+`(%s) as (select * from `%q`) select *, \"%s\"(%s) from `%q+`", quoted.c_str(),
      columns.c_str(), quoted.c_str(), zero_byte_function, columns.c_str(), quoted.c_str()));
  reading read{&t};
  return run(query.get(), take_row, &read, error);
}
