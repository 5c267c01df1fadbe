#include "run_plinth.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// PLINTH_TEST_WRAPPER, words separated by spaces, runs before the binary: a
// memory checker, say. Does not return.
[[noreturn]] void exec_plinth(const std::vector<std::string>& args) {
  std::vector<std::string> words;
  if (const char* wrapper = getenv("PLINTH_TEST_WRAPPER")) {
    std::istringstream split(wrapper);
    for (std::string word; split >> word;) words.push_back(word);
  }
  words.push_back(PLINTH_BINARY);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(126);
}

}  // namespace

plinth_run run_plinth(const std::string& dir, const std::vector<std::string>& args,
                      const std::string& input) {
  // Files rather than pipes: no deadlock whatever the sizes, and the captured
  // bytes are exactly what was written.
  std::string io = make_temp_dir();
  write_file(io + "/in", input);
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(125);
    int in = open((io + "/in").c_str(), O_RDONLY);
    int out = open((io + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((io + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(125);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    exec_plinth(args);
  }
  plinth_run run;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) {
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  run.out = read_file(io + "/out");
  run.err = read_file(io + "/err");
  remove_tree(io);
  return run;
}

plinth_process start_plinth(const std::string& dir, const std::vector<std::string>& args,
                            const plinth_streams& streams) {
  plinth_process process;
  process.io = make_temp_dir();
  const std::string in_path = process.io + "/in";
  write_file(in_path, streams.input);
  // The test's ends of the pipes are closed on exec, or a second plinth
  // started meanwhile would hold this one's input open.
  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  if ((streams.pipe_input && pipe2(in_pipe, O_CLOEXEC) != 0) ||
      (streams.pipe_output && pipe2(out_pipe, O_CLOEXEC) != 0)) {
    abort();
  }
  pid_t pid = fork();
  if (pid == 0) {
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                  SIGPROF, SIGXCPU, SIGPWR, SIGSYS}) {
      signal(s, SIG_DFL);
    }
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) signal(s, SIG_DFL);
    for (int s : streams.ignored) signal(s, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (chdir(dir.c_str()) != 0) _exit(125);
    int in = streams.pipe_input            ? in_pipe[0]
             : !streams.input_path.empty() ? open(streams.input_path.c_str(), O_RDONLY)
                                           : open(in_path.c_str(), O_RDONLY);
    int out = streams.pipe_output
                  ? out_pipe[1]
                  : open((process.io + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = streams.merge_error
                  ? out
                  : open((process.io + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(125);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (streams.close_input) close(0);
    if (streams.in_child) streams.in_child();
    exec_plinth(args);
  }
  if (pid < 0) abort();
  process.pid = pid;
  if (streams.pipe_input) {
    close(in_pipe[0]);
    process.input = in_pipe[1];
    const std::string& text = streams.input;
    for (size_t sent = 0; sent < text.size();) {
      ssize_t n = write(process.input, text.data() + sent, text.size() - sent);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
  }
  if (streams.pipe_output) {
    close(out_pipe[1]);
    process.output = out_pipe[0];
  }
  return process;
}

plinth_run wait_plinth(plinth_process& process, double seconds) {
  for (int* fd : {&process.input, &process.output}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  plinth_run run;
  int status = 0;
  bool ended =
      wait_until([&] { return waitpid(process.pid, &status, WNOHANG) == process.pid; }, seconds);
  if (!ended) {
    kill(process.pid, SIGKILL);
    waitpid(process.pid, &status, 0);
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = read_file(process.io + "/out");
  run.err = read_file(process.io + "/err");
  if (!ended) run.err += "\n[killed: still running after the time allowed]\n";
  remove_tree(process.io);
  return run;
}

bool wait_until(const std::function<bool()>& done, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

long file_size(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}
