// A scratch database of its own for each in-process test, in a fresh
// directory that is the current one while the test runs.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "run_plinth.h"
#include "shell/shell.h"

struct scratch_test : testing::Test {
  std::string dir = make_temp_dir();
  char old_dir[PATH_MAX] = {};

  void SetUp() override {
    ASSERT_NE(getcwd(old_dir, sizeof old_dir), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    ASSERT_EQ(sqlite3_open(scratch_db_name, &scratch_db), SQLITE_OK);
  }
  void TearDown() override {
    sqlite3_close(scratch_db);
    scratch_db = nullptr;
    EXPECT_EQ(chdir(old_dir), 0);
    remove_tree(dir);
  }

  // The single value of `select expression`, NULL as "<null>", or the
  // statement's error as "error: ...".
  static std::string value_of(const std::string& expression) {
    std::string value = "<no row>";
    auto take = [](void* out, int, char** values, char**) {
      *static_cast<std::string*>(out) = values[0] ? values[0] : "<null>";
      return 0;
    };
    char* message = nullptr;
    const std::string sql = "select " + expression;
    if (sqlite3_exec(scratch_db, sql.c_str(), take, &value, &message) != SQLITE_OK) {
      value = std::string("error: ") + (message ? message : "?");
    }
    sqlite3_free(message);
    return value;
  }

  // Each row of the result as its values joined by '|', NULL as "<null>".
  static std::vector<std::string> query(const std::string& sql) {
    std::vector<std::string> rows;
    auto add = [](void* out, int n, char** values, char**) {
      std::string row;
      for (int i = 0; i < n; ++i) {
        if (i > 0) row += '|';
        row += values[i] ? values[i] : "<null>";
      }
      static_cast<std::vector<std::string>*>(out)->push_back(row);
      return 0;
    };
    EXPECT_EQ(sqlite3_exec(scratch_db, sql.c_str(), add, &rows, nullptr), SQLITE_OK) << sql;
    return rows;
  }
};
