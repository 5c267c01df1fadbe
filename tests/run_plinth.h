// Runs the built plinth as a user would, for the end-to-end tests.
#pragma once

#include <functional>
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

// A plinth started by start_plinth and not yet waited for.
struct plinth_process {
  int pid = -1;
  std::string io;   // directory of its captured streams: out, err
  int input = -1;   // write end of its standard input, when piped
  int output = -1;  // read end of its standard output, when piped
};

struct plinth_streams {
  std::string input;         // its standard input, or the first bytes sent into the pipe
  bool pipe_input = false;   // a pipe held open until wait_plinth or close(input)
  bool pipe_output = false;  // read through `output` instead of captured in io/out
  std::string input_path;    // when set, standard input is this path opened for reading
  bool close_input = false;  // standard input starts closed
  bool merge_error = false;  // standard error goes where standard output goes
  std::vector<int> ignored;  // signals it inherits as ignored
  // Runs in the child just before plinth starts: a umask, a limit. Only
  // system calls: the test's other threads are not there.
  std::function<void()> in_child;
};

// Starts plinth in `dir` without waiting for it. Its ending signals start with
// their default action, whatever the test runner's are.
plinth_process start_plinth(const std::string& dir, const std::vector<std::string>& args,
                            const plinth_streams& streams);

// Waits for it to end, killing it after `seconds`, and collects what it wrote.
plinth_run wait_plinth(plinth_process& process, double seconds = 120);

// Polls `done` until it holds or `seconds` pass; says whether it held.
bool wait_until(const std::function<bool()>& done, double seconds = 60);
long file_size(const std::string& path);  // -1 when absent
