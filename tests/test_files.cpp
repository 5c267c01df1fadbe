// The file helpers of run_plinth.h, which the in-process tests use on every
// system.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "run_plinth.h"

#ifdef _WIN32
#include <random>
#else
#include <unistd.h>
#endif

std::string make_temp_dir() {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
#ifdef _WIN32
  // No mkdtemp: a random name, taken only if no one has it.
  std::random_device random;
  for (int tries = 0; tries < 100; ++tries) {
    const std::filesystem::path dir = base / ("plinth-test-" + std::to_string(random()));
    std::error_code error;
    if (std::filesystem::create_directory(dir, error)) return dir.string();
  }
  abort();
#else
  std::string pattern = (base / "plinth-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) abort();
  return pattern;
#endif
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
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}
