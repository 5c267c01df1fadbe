// Runs the built plinth through each scenario in transcripts/*.txt.
//
// A scenario is a list of sections, each opened by a line "== kind [name]":
//   args            the arguments, one a line
//   file NAME       a file made before the run, with this content
//   dir NAME        a directory made before the run
//   db              SQL run on a scratch database left from an earlier run
//   stdin           what is typed
//   stdout, stderr  what the run must print (nothing when absent)
//   status N        the exit status (0 when absent)
//   after NAME      the content the file must have after the run
//   absent NAME     a file that must not exist after the run
// In content, <TAB> and <CR> stand for those characters, <BIN> for the path
// the program is started with, <c*N> for N times the character c, and a line
// ending in <NOEOL> has no line feed. Lines before the first section are
// comments. After a run that ends with status 0 the scratch database must
// be gone.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "run_plinth.h"
#include "shell/shell.h"

namespace {

struct scenario {
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> files, after;
  std::vector<std::string> dirs, absent;
  std::string db, input, out, err;
  int status = 0;
};

std::string expand(std::string_view line) {
  const std::pair<std::string_view, std::string_view> names[] = {
      {"<TAB>", "\t"}, {"<CR>", "\r"}, {"<BIN>", PLINTH_BINARY}};
  std::string text;
  while (!line.empty()) {
    std::string part(1, line[0]);
    size_t taken = 1;
    for (auto [name, value] : names) {
      if (line.starts_with(name)) part = value, taken = name.size();
    }
    size_t end = line.starts_with('<') && line.substr(2).starts_with('*')
                     ? line.find_first_not_of("0123456789", 3)
                     : 0;
    if (end > 3 && end < line.size() && line[end] == '>') {
      part.assign(std::stoul(std::string(line.substr(3, end - 3))), line[1]);
      taken = end + 1;
    }
    text += part;
    line.remove_prefix(taken);
  }
  return text;
}

scenario parse_scenario(const std::string& path) {
  scenario s;
  std::istringstream in(read_file(path));
  std::string line, kind, name, content;
  auto finish = [&] {
    if (kind == "args") {
      std::istringstream lines(content);
      for (std::string a; std::getline(lines, a);) s.args.push_back(a);
    } else if (kind == "file")
      s.files.emplace_back(name, content);
    else if (kind == "dir")
      s.dirs.push_back(name);
    else if (kind == "db")
      s.db = content;
    else if (kind == "stdin")
      s.input = content;
    else if (kind == "stdout")
      s.out = content;
    else if (kind == "stderr")
      s.err = content;
    else if (kind == "status")
      s.status = std::stoi(name);
    else if (kind == "after")
      s.after.emplace_back(name, content);
    else if (kind == "absent")
      s.absent.push_back(name);
    else if (!kind.empty())
      ADD_FAILURE() << path << ": unknown section " << kind;
  };
  while (std::getline(in, line)) {
    if (line.starts_with("== ")) {
      finish();
      std::istringstream header(line.substr(3));
      header >> kind;
      std::getline(header >> std::ws, name);
      content.clear();
    } else if (!kind.empty()) {
      const bool eol = !line.ends_with("<NOEOL>");
      content += expand(eol ? line : line.substr(0, line.size() - 7)) + (eol ? "\n" : "");
    }
  }
  finish();
  return s;
}

std::vector<std::string> transcripts() {
  std::vector<std::string> paths;
  for (const auto& e : std::filesystem::directory_iterator(PLINTH_TEST_DATA "/transcripts")) {
    if (e.path().extension() == ".txt") paths.push_back(e.path().string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

struct transcript_test : testing::TestWithParam<std::string> {};

TEST_P(transcript_test, runs_as_written) {
  const scenario s = parse_scenario(GetParam());
  const std::string dir = make_temp_dir();
  for (const std::string& d : s.dirs) std::filesystem::create_directories(dir + "/" + d);
  for (const auto& [name, content] : s.files) {
    std::filesystem::create_directories(std::filesystem::path(dir + "/" + name).parent_path());
    write_file(dir + "/" + name, content);
  }
  if (!s.db.empty()) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir + "/" + scratch_db_name).c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, s.db.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  const plinth_run run = run_plinth(dir, s.args, s.input);
  EXPECT_EQ(run.out, s.out);
  EXPECT_EQ(run.err, s.err);
  EXPECT_EQ(run.status, s.status);
  for (const auto& [name, content] : s.after) {
    EXPECT_TRUE(file_exists(dir + "/" + name)) << name;
    EXPECT_EQ(read_file(dir + "/" + name), content) << name;
  }
  for (const std::string& name : s.absent) EXPECT_FALSE(file_exists(dir + "/" + name)) << name;
  if (s.status == 0) {
    EXPECT_FALSE(file_exists(dir + "/" + scratch_db_name));
    EXPECT_FALSE(file_exists(dir + "/" + scratch_journal_name));
  }
  remove_tree(dir);
}

INSTANTIATE_TEST_SUITE_P(transcripts, transcript_test, testing::ValuesIn(transcripts()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return std::filesystem::path(info.param).stem().string();
                         });

}  // namespace
