#include "run_plinth.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

std::string make_temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "plinth-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) abort();
  return pattern;
}

void remove_tree(const std::string& dir) {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

bool file_exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

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
    std::vector<char*> argv{const_cast<char*>(PLINTH_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(PLINTH_BINARY, argv.data());
    _exit(126);
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
