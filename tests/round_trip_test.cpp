// Load then save gives a file back byte for byte when it ends in a line feed
// and holds no CR before a line feed and no zero byte; other files come back
// as the loader keeps them, those with a zero byte only at a second save.
#include <algorithm>
#include <filesystem>
#include <random>

#include "kept_text.h"
#include "scratch_fixture.h"
#include "texttable/texttable.h"

namespace {

bool comes_back_whole(const std::string& content) {
  return (content.empty() || content.back() == '\n') && content.find("\r\n") == std::string::npos &&
         content.find('\0') == std::string::npos;
}

// Files of lines of awkward lengths and characters; every fourth one also
// breaks a condition of coming back whole.
std::vector<std::string> generated_files() {
  std::mt19937 random(20261208);
  const size_t lengths[] = {0, 1, 7, 80, 998, 999, 1000, 1997, 1998, 1999, 2500, 100000};
  const std::string alphabet("ab \t'\"`;%\r\xff\xc3\xa9\x80", 14);
  const std::string breakers[] = {"\r", std::string(1, '\0'), "\r\r"};
  std::vector<std::string> files{"", "\n", "\n\n\n",
                                 std::string(999, 'a') + "\n" + std::string(1998, 'b') + "\n" +
                                     std::string(100000, 'c') + "\n"};
  for (int f = 0; f < 60; ++f) {
    std::string content;
    for (int lines = random() % 12; lines > 0; --lines) {
      size_t length = lengths[random() % (random() % 8 == 0 ? 12 : 9)];
      for (size_t i = 0; i < length; ++i) content += alphabet[random() % alphabet.size()];
      if (f % 4 == 3 && random() % 3 == 0) content += breakers[random() % 3];
      content += '\n';
    }
    if (f % 4 == 3 && !content.empty()) content.pop_back();
    files.push_back(content);
  }
  return files;
}

// Text files found on the machine, as many kinds of real text.
std::vector<std::string> found_files() {
  std::vector<std::string> paths;
  std::error_code error;
  for (const char* root : {"/usr/share/common-licenses", "/usr/share/doc"}) {
    for (auto it = std::filesystem::recursive_directory_iterator(root, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (it->is_regular_file(error) && it->file_size(error) < 200000) {
        paths.push_back(it->path().string());
      }
    }
  }
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> files;
  for (size_t i = 0; i < paths.size(); i += paths.size() / 200 + 1) {
    files.push_back(read_file(paths[i]));
  }
  return files;
}

using round_trip_test = scratch_test;

TEST_F(round_trip_test, in_process) {
  std::vector<std::string> files = generated_files(), found = found_files();
  files.insert(files.end(), found.begin(), found.end());
  size_t whole = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    std::string name = "f";
    name += std::to_string(i);
    SCOPED_TRACE(testing::PrintToString(files[i].substr(0, 40)));
    write_file(name, files[i]);
    testing::internal::CaptureStderr();
    load_text_file(name.c_str());
    save_text_table(name.c_str());
    save_text_table(name.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), zero_byte_refusal(files[i], name));
    const std::string saved = read_file(name);
    EXPECT_EQ(saved, as_kept(files[i]));
    if (comes_back_whole(files[i])) {
      EXPECT_EQ(saved, files[i]);
      ++whole;
    }
  }
  EXPECT_GT(whole, files.size() / 2);
}

TEST(round_trip, through_the_program) {
  const std::vector<std::string> files = generated_files();
  const std::string dir = make_temp_dir();
  std::vector<std::string> names;
  std::string input;
  std::string refusals;
  for (size_t i = 0; i < files.size(); i += 3) {
    names.push_back("file " + std::to_string(i) + ".txt");
    write_file(dir + "/" + names.back(), files[i]);
    input += "save `" + names.back() + "`\nsave `" + names.back() + "`\n";
    refusals += zero_byte_refusal(files[i], names.back());
  }
  const plinth_run run = run_plinth(dir, names, input + "quit\n");
  EXPECT_EQ(run.err, refusals);
  EXPECT_EQ(run.status, 0);
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(read_file(dir + "/" + names[i]), as_kept(files[i * 3])) << names[i];
  }
  remove_tree(dir);
}

}  // namespace
