// The least a load can cost: the engine calls that plinth makes to load files
// and run one query, with nothing around them. No prompt, no grid, no checks
// beyond stopping on the first refused statement.
//
//   floor SQL FILE...    loads each FILE, then runs SQL unless it is empty
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

sqlite3* db = nullptr;

bool run(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  fprintf(stderr, "SQL error: %s\n", message ? message : "out of memory");
  sqlite3_free(message);
  return false;
}

int print_first(void*, int, char** values, char**) {
  puts(values[0] ? values[0] : "NULL");
  return 0;
}

bool load(const char* name) {
  FILE* file = fopen(name, "r");
  if (file == nullptr) return false;
  char* create =
      sqlite3_mprintf("create table `%q` (row integer primary key autoincrement,data text)", name);
  bool ok = run(create) && run("begin");
  sqlite3_free(create);
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  while (ok && (length = getline(&line, &capacity, file)) >= 0) {
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) --length;
    line[length] = '\0';
    char* insert = sqlite3_mprintf("insert into `%q` (data) values ('%q')", name, line);
    ok = run(insert);
    sqlite3_free(insert);
  }
  free(line);
  fclose(file);
  return run("commit") && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "Usage: %s SQL FILE...\n", argv[0]);
    return 1;
  }
  sqlite3_config(SQLITE_CONFIG_SINGLETHREAD);
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  const char* db_name = "floor.temp.db";
  if (sqlite3_open(db_name, &db) != SQLITE_OK) return 1;
  run("PRAGMA synchronous=OFF");
  int status = 0;
  for (int i = 2; i < argc; ++i) {
    if (!load(argv[i])) status = 1;
  }
  char* message = nullptr;
  if (argv[1][0] != '\0' &&
      sqlite3_exec(db, argv[1], print_first, nullptr, &message) != SQLITE_OK) {
    fprintf(stderr, "SQL error: %s\n", message ? message : "out of memory");
    sqlite3_free(message);
    status = 1;
  }
  sqlite3_close(db);
  unlink(db_name);
  return status;
}
