// Prints what the SQL engine and the pattern library were built with and how
// they answer a few statements and patterns, so that the output of the
// Windows build can be compared line by line with that of the Linux build.
// Exits non-zero when no database opens or the pattern library cannot compile
// patterns to machine code.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// One statement or script per row; each names a feature Debian turns on.
// A refusal is printed, not fatal: the same refusal on both systems is a
// match.
const char* const queries[] = {
    "select sqlite_version(), sqlite_source_id()",
    // Less what each system has its own of: compiler, mutexes, C library.
    "select group_concat(compile_options, ' ') from pragma_compile_options"
    " where compile_options not glob 'COMPILER=*' and compile_options not glob 'MUTEX_*'"
    " and compile_options not glob 'HAVE_*'",
    "select sqrt(2), json('[1]'), pi(), json_extract('{\"a\":[1,2]}', '$.a[1]')",
    "create virtual table f5 using fts5(body);"
    " insert into f5 values ('the quick brown fox'), ('a lazy dog');"
    " select rowid from f5 where f5 match 'quick'",
    "create virtual table f4 using fts4(body); insert into f4 values ('lazy dog');"
    " select count(*) from f4 where f4 match 'dog'",
    "create virtual table r using rtree(id, x0, x1); insert into r values (1, 0, 5);"
    " select id from r where x0 < 3",
    "select soundex('Robert'), x'41' like 'A'",
    "create table t(a); insert into t values (1), (2); delete from t limit 1;"
    " select count(*) from t",
    "select count(*) > 0 from dbstat, sqlite_stmt",
    "select count(*) from pragma_function_list where name = 'load_extension'",
    "select printf('%.3f|%e', 2.0 / 3, 1e300 * 10), datetime(86400, 'unixepoch')",
    "select upper('naïve'), length('naïve'), hex('é')",
};

void print_rows(sqlite3* db, const char* sql) {
  std::printf("%s\n", sql);
  while (*sql) {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, &tail) != SQLITE_OK) {
      std::printf("  refused: %s\n", sqlite3_errmsg(db));
      return;
    }
    sql = tail;
    if (!stmt) continue;  // white space after the last statement
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      std::string row = "  =>";
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const unsigned char* text = sqlite3_column_text(stmt, i);
        row += i ? " | " : " ";
        row += text ? reinterpret_cast<const char*>(text) : "NULL";
      }
      std::printf("%s\n", row.c_str());
    }
    if (rc != SQLITE_DONE) std::printf("  failed: %s\n", sqlite3_errmsg(db));
    sqlite3_finalize(stmt);
  }
}

bool check_sql() {
  sqlite3* db = nullptr;
  if (sqlite3_open(":memory:", &db) != SQLITE_OK) {
    std::printf("can't open an in-memory database: %s\n", db ? sqlite3_errmsg(db) : "no memory");
    sqlite3_close(db);
    return false;
  }
  for (const char* sql : queries) print_rows(db, sql);
  sqlite3_close(db);
  return true;
}

void print_config(const char* name, uint32_t what) {
  uint32_t value = 0;
  if (pcre2_config(what, &value) < 0) {
    std::printf("pcre2 %s: unknown\n", name);
    return;
  }
  std::printf("pcre2 %s: %u\n", name, static_cast<unsigned>(value));
}

void print_config_text(const char* name, uint32_t what) {
  char text[128];
  if (pcre2_config(what, text) < 0) {
    std::printf("pcre2 %s: unknown\n", name);
    return;
  }
  std::printf("pcre2 %s: %s\n", name, text);
}

// Compiles `pattern` to machine code and prints the first match in
// `subject` with its groups.
bool jit_match(const char* pattern, const char* subject) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                   PCRE2_UTF | PCRE2_UCP, &error, &offset, nullptr);
  if (!code) {
    std::printf("pcre2 /%s/: does not compile (%d at %zu)\n", pattern, error, offset);
    return false;
  }
  bool ok = false;
  pcre2_match_data* match = pcre2_match_data_create_from_pattern(code, nullptr);
  int jit = pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  if (!match) {
    std::printf("pcre2 /%s/: no memory\n", pattern);
  } else if (jit != 0) {
    std::printf("pcre2 /%s/: no machine code (%d)\n", pattern, jit);
  } else {
    // The machine-code matcher takes no zero-terminated subjects.
    int n = pcre2_jit_match(code, reinterpret_cast<PCRE2_SPTR>(subject), std::strlen(subject), 0, 0,
                            match, nullptr);
    std::printf("pcre2 /%s/ jit:", pattern);
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match);
    for (int i = 0; i < n; ++i) {
      std::printf(" [%.*s]", static_cast<int>(ovector[2 * i + 1] - ovector[2 * i]),
                  subject + ovector[2 * i]);
    }
    std::printf(n > 0 ? "\n" : " no match (%d)\n", n);
    ok = n > 0;
  }
  pcre2_match_data_free(match);
  pcre2_code_free(code);
  return ok;
}

bool check_patterns() {
  print_config_text("version", PCRE2_CONFIG_VERSION);
  print_config_text("unicode version", PCRE2_CONFIG_UNICODE_VERSION);
  print_config_text("jit target", PCRE2_CONFIG_JITTARGET);
  print_config("jit", PCRE2_CONFIG_JIT);
  print_config("unicode", PCRE2_CONFIG_UNICODE);
  print_config("newline", PCRE2_CONFIG_NEWLINE);
  print_config("bsr", PCRE2_CONFIG_BSR);
  print_config("link size", PCRE2_CONFIG_LINKSIZE);
  print_config("match limit", PCRE2_CONFIG_MATCHLIMIT);
  print_config("depth limit", PCRE2_CONFIG_DEPTHLIMIT);
  print_config("heap limit", PCRE2_CONFIG_HEAPLIMIT);
  print_config("parens limit", PCRE2_CONFIG_PARENSLIMIT);
  print_config("never backslash C", PCRE2_CONFIG_NEVER_BACKSLASH_C);
  bool ok = jit_match("(\\w+)@(\\w+)\\.(?:org|net)", "write to ann@example.org today");
  return jit_match("\\p{Lu}+", "naïve ÉTÉ") && ok;
}

}  // namespace

int main() {
  bool sql = check_sql();
  bool patterns = check_patterns();
  return sql && patterns ? 0 : 1;
}
