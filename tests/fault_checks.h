// Shared by the end-to-end fault tests: a directory per case, the texts
// plinth prints, and the checks made after a run ends.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kept_text.h"
#include "run_plinth.h"
#include "shell/shell.h"

struct scratch_dir {
  std::string root = make_temp_dir();
  scratch_dir() = default;
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  ~scratch_dir() { remove_tree(root); }
  std::string path(const std::string& name) const { return root + "/" + name; }
};

inline const std::string banner = "-- plinth\n-- Type 'help' for help\n\n";

// A result as the printer shows it, for one column not named `row`.
inline std::string grid(const std::string& column, const std::vector<std::string>& rows) {
  std::string text = column + "\n" + std::string(72, '-') + "\n";
  for (const std::string& r : rows) text += r + "\n";
  return text;
}

inline std::string numbered_lines(int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) text += "line " + std::to_string(i) + " of the file\n";
  return text;
}

// Whether a run started with its input held open shows its first prompt,
// and nothing else, within the time allowed.
inline bool reaches_first_prompt(const plinth_process& p) {
  return wait_until([&] { return read_file(p.io + "/out") == banner + "sql> "; });
}

// Every path under `root`, relative to it: a file left behind shows here.
// Links are named, not followed.
inline std::set<std::string> tree(const std::string& root) {
  std::set<std::string> paths;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    paths.insert(entry.path().lexically_relative(root).string());
  }
  return paths;
}

inline void expect_no_scratch_files(const std::string& dir) {
  for (const char* name :
       {scratch_db_name, scratch_journal_name, scratch_wal_name, scratch_shm_name}) {
    EXPECT_FALSE(file_exists(dir + "/" + name)) << name;
  }
}

// The next run loads t.txt as it now is: no table of an earlier run is left.
inline void expect_next_run_starts_clean(const scratch_dir& dir) {
  write_file(dir.path("t.txt"), "fresh\n");
  plinth_run next = run_plinth(dir.root, {"t.txt"}, "select data from `t.txt`;\n");
  EXPECT_EQ(next.status, 0);
  EXPECT_EQ(next.err, "");
  EXPECT_EQ(next.out, banner + "sql> " + grid("data", {"fresh"}) + "1 rows affected.\nsql> ");
  expect_no_scratch_files(dir.root);
}
