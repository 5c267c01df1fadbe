// Runs the built plinth as a user would, for the end-to-end tests.
#pragma once

#include <string>
#include <vector>

struct plinth_run {
  std::string out;
  std::string err;
  int status = -1;  // the exit status, or 128 + the signal that ended it
};

// A fresh empty directory, removed by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string& dir);

// Runs plinth in `dir` with `args` and `input` as its standard input.
plinth_run run_plinth(const std::string& dir, const std::vector<std::string>& args,
                      const std::string& input);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
