#include "extensions/extensions.h"

#include "texttable/texttable.h"

bool add_sql_extensions(sqlite3* db) {
  return register_regexp_functions(db) && register_field_functions(db) &&
         register_split_tables(db) && register_changes_table(db) && register_columns_table(db);
}

bool add_sql_functions(sqlite3* db, const sql_function* functions, size_t count) {
  for (const sql_function* f = functions; f != functions + count; ++f) {
    if (sqlite3_create_function_v2(
            db, f->name, f->arguments, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS,
            const_cast<char*>(f->name), f->call, nullptr, nullptr, nullptr) != SQLITE_OK) {
      print_error("SQL error: %s\n", sqlite3_errmsg(db));
      return false;
    }
  }
  return true;
}

bool add_sql_module(sqlite3* db, const char* name, const sqlite3_module* module, void* data,
                    void (*destroy)(void*)) {
  if (sqlite3_create_module_v2(db, name, module, data, destroy) != SQLITE_OK) {
    print_error("SQL error: %s\n", sqlite3_errmsg(db));
    return false;
  }
  return true;
}

void set_text_result(sqlite3_context* context, std::string_view text) {
  // A copy is the only allocation, as the engine's own substr makes.
  if (text.empty()) {
    sqlite3_result_text(context, "", 0, SQLITE_STATIC);
  } else {
    sqlite3_result_text64(context, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  }
}
