// The engine's allocator fails at each allocation of `new`, `load`, `save`,
// a regular expression edit, a field edit, an edit by column and a query of
// changes in turn: every call either does its work or reports and returns,
// and the engine gets back all that it allocated.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <string>

#include "extensions/extensions.h"
#include "os/os.h"
#include "run_plinth.h"
#include "shell/shell.h"
#include "texttable/seen_files.h"
#include "texttable/texttable.h"

namespace {

sqlite3_mem_methods engine_allocator;
long countdown = -1;        // allocations left before one fails; -1: none fails
bool keep_failing = false;  // every allocation after the first failed one fails too
bool fault_injected = false;
long outstanding = 0;  // blocks handed out and not yet freed

bool fail_now() {
  if (countdown < 0) return false;
  if (countdown > 0) {
    --countdown;
    return false;
  }
  fault_injected = true;
  if (!keep_failing) countdown = -1;
  return true;
}

void* counted_malloc(int size) {
  if (fail_now()) return nullptr;
  void* block = engine_allocator.xMalloc(size);
  if (block != nullptr) ++outstanding;
  return block;
}

void counted_free(void* block) {
  if (block != nullptr) --outstanding;
  engine_allocator.xFree(block);
}

void* counted_realloc(void* block, int size) {
  if (fail_now()) return nullptr;
  return engine_allocator.xRealloc(block, size);
}

// Before anything starts the engine: its allocator can't be changed later.
const bool allocator_installed = [] {
  sqlite3_config(SQLITE_CONFIG_GETMALLOC, &engine_allocator);
  sqlite3_mem_methods counted = engine_allocator;
  counted.xMalloc = counted_malloc;
  counted.xFree = counted_free;
  counted.xRealloc = counted_realloc;
  // Without the per-connection cache every allocation reaches the allocator.
  return sqlite3_config(SQLITE_CONFIG_MALLOC, &counted) == SQLITE_OK &&
         sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0) == SQLITE_OK &&
         sqlite3_initialize() == SQLITE_OK;
}();

std::string query_one(const char* sql) {
  std::string value = "<none>";
  auto take = [](void* out, int, char** values, char**) {
    *static_cast<std::string*>(out) = values[0] ? values[0] : "<null>";
    return 0;
  };
  if (sqlite3_exec(scratch_db, sql, take, &value, nullptr) != SQLITE_OK) return "<refused>";
  return value;
}

struct oom_case {
  const char* label;
  std::function<void()> prepare;  // runs with no fault
  std::function<void()> operation;
  std::function<bool()> succeeded;
  std::function<bool()> untouched_on_failure;
};

const oom_case oom_cases[] = {
    {"new", [] {}, [] { create_text_table("t.txt"); },
     [] { return query_one("select count(*) from `t.txt`") == "0"; },
     [] { return query_one("select count(*) from sqlite_master") == "0"; }},
    {"load", [] { write_file("f.txt", "alpha\nit's\n\ngamma\r\n"); },
     [] { load_text_file("f.txt"); },
     [] {
       return query_one("select group_concat(row || ':' || data, '|') from `f.txt`") ==
              "1:alpha|2:it's|3:|4:gamma";
     },
     [] { return true; }},
    {"save",
     [] {
       write_file("f.txt", "old\n");
       forget_seen_file("f.txt");  // the file of the last round, saved under this name
       load_text_file("f.txt");
       run_statement(
           "delete from `f.txt`;"
           "insert into `f.txt` (data) values ('alpha'), (null), ('it''s');");
     },
     [] { save_text_table("f.txt"); },
     [] {
       const std::string end(os_line_end);  // CR LF where saves are in text mode
       return read_file("f.txt") == "alpha" + end + end + "it's" + end;
     },
     [] { return read_file("f.txt") == "old\n"; }},
    {"regexp",
     [] { run_statement("create table t (data text); insert into t values ('abba'), ('cab');"); },
     [] {
       if (register_regexp_functions(scratch_db)) {
         run_statement(
             "update t set data = regexp_replace(data, '(?<w>b+)', '<${w}>')"
             " where data regexp 'b' and regexp_capture(data, '(a)', 1) = 'a'");
       }
     },
     [] { return query_one("select group_concat(data, '|') from t") == "a<bb>a|ca<b>"; },
     [] { return query_one("select group_concat(data, '|') from t") == "abba|cab"; }},
    {"fields",
     [] { run_statement("create table t (data text); insert into t values ('a,\"b c\"');"); },
     [] {
       if (add_sql_extensions(scratch_db)) {
         run_statement(
             "update t set data = csv_line(csv_field(data, 2), split_part(data, ',', 1),"
             " (select group_concat(value, '+') from regexp_split_to_table(t.data, '[ ,]')),"
             " (select count(*) from string_to_table(t.data, ' ')))");
       }
     },
     [] { return query_one("select data from t") == "b c,a,\"a+\"\"b+c\"\"\",2"; },
     [] { return query_one("select data from t") == "a,\"b c\""; }},
    {"columns",
     [] {
       run_statement(
           "create table `t.csv` (row integer primary key, data text);"
           "insert into `t.csv` values (1, 'a,b,c'), (2, '1,\"x\",z'), (3, '2,y'), (4, '3,w');");
     },
     [] {
       if (add_sql_extensions(scratch_db)) {
         run_statement(
             "create virtual table v using columns(`t.csv`);"
             "update v set b = b || a where a in (1, 2)");
       }
     },
     [] {
       return query_one("select group_concat(data, '|') from `t.csv`") == "a,b,c|1,x1,z|2,y2|3,w";
     },
     [] {
       return query_one("select group_concat(data, '|') from `t.csv`") == "a,b,c|1,\"x\",z|2,y|3,w";
     }},
    {"changes",
     [] {
       const std::string end(os_line_end);
       write_file("f.txt", "a" + end + "b" + end + "c" + end);
       forget_seen_file("f.txt");
       load_text_file("f.txt");
       run_statement("update `f.txt` set data = 'B' where row = 2");
     },
     [] {
       if (add_sql_extensions(scratch_db)) {
         run_statement("create table r as select line from changes('f.txt', 0)");
       }
     },
     [] {
       // The file's lines end as the save ends them: only the edited one differs.
       const std::string cr = os_line_end == "\r\n" ? "\r" : "";
       return query_one("select group_concat(line, '|') from r") ==
              "@@ -2 +2 @@|-b" + cr + "|+B" + cr;
     },
     [] { return query_one("select count(*) from sqlite_master where name = 'r'") == "0"; }},
};

struct in_temp_dir : testing::Test {
  std::string dir = make_temp_dir();
  char old_dir[PATH_MAX] = {};
  void SetUp() override {
    ASSERT_TRUE(allocator_installed);
    ASSERT_NE(getcwd(old_dir, sizeof old_dir), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(old_dir), 0);
    remove_tree(dir);
  }
};

using out_of_memory = in_temp_dir;

TEST_F(out_of_memory, at_any_allocation_each_operation_works_or_reports_and_leaks_nothing) {
  for (const oom_case& c : oom_cases) {
    for (bool persistent : {false, true}) {
      long n = 0;
      for (;; ++n) {
        SCOPED_TRACE(testing::Message() << c.label << ", allocation " << n
                                        << (persistent ? " and all after it" : " alone"));
        const long before_open = outstanding;
        ASSERT_EQ(sqlite3_open(scratch_db_name, &scratch_db), SQLITE_OK);
        run_statement("PRAGMA synchronous=OFF");  // as plinth runs it
        c.prepare();
        testing::internal::CaptureStderr();
        fault_injected = false;
        keep_failing = persistent;
        countdown = n;
        c.operation();
        countdown = -1;
        const std::string err = testing::internal::GetCapturedStderr();
        const bool succeeded = c.succeeded();
        if (!succeeded) {
          EXPECT_NE(err, "") << "failed silently";
          EXPECT_EQ(err.find("query aborted"), std::string::npos) << err;
          EXPECT_TRUE(c.untouched_on_failure());
        }
        EXPECT_EQ(sqlite3_close(scratch_db), SQLITE_OK);
        scratch_db = nullptr;
        EXPECT_EQ(outstanding, before_open) << "engine memory not released";
        unlink(scratch_db_name);
        unlink(scratch_journal_name);
        unlink("f.txt");
        if (!fault_injected) {
          // The operation ran to its end before the n-th allocation.
          EXPECT_TRUE(succeeded);
          EXPECT_EQ(err, "");
          break;
        }
        if (testing::Test::HasFailure()) return;
      }
      EXPECT_GT(n, 10) << c.label << ": the allocator was not reached";
    }
  }
}

}  // namespace
