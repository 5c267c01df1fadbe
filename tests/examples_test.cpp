// Runs every example session of README.md and plinth.1 and checks that it
// prints what the document shows.
//
// A session is a code block (in README.md an indented or a ``` fenced block,
// in plinth.1 the lines between .nf and .fi or .EX and .EE, with the page's
// escapes read) whose first line is
//
//   $ plinth FILE...
//
// Under it, a line "sql> TEXT" is TEXT typed (a line "sql>" alone types an
// empty line), and the lines under a typed line, up to the next one, are
// exactly what plinth prints for it: standard output and standard error as
// they interleave through a pipe. Lines between "$ plinth" and the first
// typed line are what plinth prints before its banner; the banner and the
// prompt left waiting when the typed lines run out are not shown. A block may
// go on with more commands, each followed by what it prints:
//
//   $ plinth FILE...   another run
//   $ cat FILE...      the files' contents
//
// Words are separated by spaces, and a word may be quoted '...'; nothing else
// of the shell is there. Each block runs in a fresh copy of examples/, so
// nothing tracked changes. A block that shows "sql>" or "$ plinth" without
// beginning with "$ plinth" fails the test, so that no session escapes it:
// show prompts outside sessions in prose or tables.
#include <gtest/gtest.h>
#include <strings.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "run_plinth.h"

namespace {

const std::string source_dir = PLINTH_TEST_DATA "/..";
const std::string banner = "-- plinth\n-- Type 'help' for help\n\n";
const std::string prompt = "sql> ";

struct block {
  size_t line = 0;  // of its first line in the document, from 1
  std::vector<std::string> lines;
  std::string fault;         // why the document around it can't be read
  std::string escape_fault;  // why a session in it could not be read
};

size_t indent_of(const std::string& line) {
  return line.find_first_not_of(' ');
}
bool blank(const std::string& line) {
  return indent_of(line) == std::string::npos;
}
bool is_fence(const std::string& line) {
  return !blank(line) && line.compare(indent_of(line), 3, "```") == 0;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Indented blocks start after an empty line; the first line's indentation is
// taken off every line, so that a block inside a list item reads the same.
std::vector<block> markdown_blocks(const std::vector<std::string>& lines) {
  std::vector<block> blocks;
  for (size_t i = 0; i < lines.size(); ++i) {
    const size_t indent = indent_of(lines[i]);
    const bool fence = is_fence(lines[i]);
    if (!fence && (blank(lines[i]) || indent < 4 || (i > 0 && !blank(lines[i - 1])))) continue;
    block b{fence ? i + 2 : i + 1, {}, {}, {}};
    size_t j = fence ? i + 1 : i;
    for (; j < lines.size(); ++j) {
      const std::string& line = lines[j];
      if (fence ? is_fence(line) : !blank(line) && indent_of(line) < 4) break;
      b.lines.push_back(blank(line) ? "" : line.substr(std::min(indent, indent_of(line))));
    }
    while (!fence && !b.lines.empty() && b.lines.back().empty()) b.lines.pop_back();
    if (fence && j == lines.size()) b.fault = "its fence is never closed";
    blocks.push_back(b);
    i = fence ? j : j - 1;
  }
  return blocks;
}

// The escapes a manual page's example needs; any other is kept as it is and
// makes the line a fault, so that no session is compared in a form its
// reader never sees.
bool read_roff_line(const std::string& line, std::string& text) {
  static const std::map<std::string, std::string> named = {
      {"ga", "`"}, {"aq", "'"}, {"dq", "\""}, {"lq", "\u201c"}, {"rq", "\u201d"}, {"em", "\u2014"}};
  text.clear();
  bool read = !line.starts_with('.') && !line.starts_with('\'');
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\\') {
      text += line[i];
      continue;
    }
    const std::string rest = line.substr(i + 1);
    if (rest.starts_with('-') || rest.starts_with('\\') || rest.starts_with('e')) {
      text += rest[0] == '-' ? '-' : '\\';
      i += 1;
    } else if (rest.starts_with('&')) {
      i += 1;
    } else if (rest.starts_with('f') && rest.size() > 1 &&
               std::string("BIRP").find(rest[1]) != std::string::npos) {
      i += 2;
    } else if (rest.starts_with('(') && named.count(rest.substr(1, 2))) {
      text += named.at(rest.substr(1, 2));
      i += 3;
    } else {
      text += line[i];
      read = false;
    }
  }
  return read;
}

std::vector<block> roff_blocks(const std::vector<std::string>& lines) {
  std::vector<block> blocks;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != ".nf" && lines[i] != ".EX") continue;
    const std::string end = lines[i] == ".nf" ? ".fi" : ".EE";
    block b{i + 2, {}, {}, {}};
    size_t j = i + 1;
    for (std::string text; j < lines.size() && lines[j] != end; ++j) {
      if (!read_roff_line(lines[j], text) && b.escape_fault.empty()) {
        b.escape_fault = "line " + std::to_string(j + 1) + " holds a request or an escape " +
                         "that sessions can't use";
      }
      b.lines.push_back(text);
    }
    if (j == lines.size()) b.fault = "it never ends with " + end;
    blocks.push_back(b);
    i = j;
  }
  return blocks;
}

bool starts_command(const std::string& line, const std::string& name) {
  return line == "$ " + name || line.starts_with("$ " + name + " ");
}

bool shows_a_session(const block& b) {
  for (const std::string& line : b.lines) {
    std::string text = line.substr(std::min(line.size(), indent_of(line)));
    if (text.starts_with("sql>") || starts_command(text, "plinth")) return true;
  }
  return false;
}

// The words of "$ command ...", or a fault.
bool split_words(const std::string& line, std::vector<std::string>& words, std::string& fault) {
  words.clear();
  std::string word;
  bool in_word = false;
  for (size_t i = 2; i <= line.size(); ++i) {
    const char c = i < line.size() ? line[i] : ' ';
    if (c == ' ') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else if (c == '\'') {
      const size_t close = line.find('\'', i + 1);
      if (close == std::string::npos) return fault = "unclosed quote", false;
      word += line.substr(i + 1, close - i - 1);
      in_word = true;
      i = close;
    } else if (std::string("\"\\$`<>|&;()*?[]{}~#").find(c) != std::string::npos) {
      return fault = std::string("the shell's ") + c + " is not there", false;
    } else {
      word += c;
      in_word = true;
    }
  }
  return true;
}

// The text typed on a session's line "sql> TEXT" or "sql>".
std::string typed_on(const std::string& line) {
  return line.substr(std::min(line.size(), prompt.size()));
}

// What a run printed, laid out as a session shows it: the session's own
// prompt lines put in place of the prompts, the banner and the prompt left
// waiting taken out.
std::string as_shown(const std::string& command, const std::vector<std::string>& prompts,
                     std::string printed) {
  std::string shown = command + "\n";
  const size_t at_banner = printed.find(banner);
  if (at_banner == std::string::npos) return shown + printed;
  shown += printed.substr(0, at_banner);
  printed.erase(0, at_banner + banner.size());
  size_t at = 0;
  for (const std::string& line : prompts) {
    const size_t next = printed.find(prompt, at);
    if (next == std::string::npos) break;
    shown += printed.substr(at, next - at) + line + "\n";
    at = next + prompt.size();
  }
  std::string rest = printed.substr(at);
  const bool quit =
      !prompts.empty() && strncasecmp(typed_on(prompts.back()).c_str(), "quit", 4) == 0;
  if (!quit && rest.ends_with(prompt)) {
    rest.resize(rest.size() - prompt.size());
  }
  return shown + rest;
}

// Tabs, carriage returns and other control characters made visible.
std::string visible(const std::string& text) {
  std::string shown;
  for (unsigned char c : text) {
    if (c == '\t') {
      shown += "<TAB>";
    } else if (c < 32 && c != '\n') {
      char code[8];
      snprintf(code, sizeof code, "<0x%02x>", c);
      shown += code;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

// One command of a session: what it printed, laid out as the session shows it.
std::string run_command(const std::string& dir, const std::vector<std::string>& words,
                        const std::string& command, const std::vector<std::string>& prompts) {
  if (words[0] == "cat") {
    std::string printed = command + "\n";
    for (size_t i = 1; i < words.size(); ++i) {
      const std::string path = dir + "/" + words[i];
      printed += file_exists(path) ? read_file(path)
                                   : "cat: " + words[i] + ": No such file or directory\n";
    }
    return printed;
  }
  plinth_streams streams;
  for (const std::string& line : prompts) streams.input += typed_on(line) + "\n";
  streams.merge_error = true;
  plinth_process process =
      start_plinth(dir, std::vector<std::string>(words.begin() + 1, words.end()), streams);
  const plinth_run run = wait_plinth(process);
  EXPECT_LT(run.status, 2) << command << " ended with status " << run.status;
  return as_shown(command, prompts, run.out);
}

void run_session(const std::string& document, const block& b) {
  const std::string dir = make_temp_dir();
  std::filesystem::copy(source_dir + "/examples", dir, std::filesystem::copy_options::recursive);
  for (size_t start = 0; start < b.lines.size();) {
    const std::string& command = b.lines[start];
    const std::string where = document + ":" + std::to_string(b.line + start);
    std::vector<std::string> words;
    std::string fault;
    if (!split_words(command, words, fault) || words.empty() ||
        (words[0] != "plinth" && words[0] != "cat")) {
      ADD_FAILURE() << where << ": `" << command << "` is not `$ plinth FILE...` or `$ cat FILE...`"
                    << (fault.empty() ? "" : ": " + fault);
      break;
    }
    size_t end = start + 1;
    std::string shown = command + "\n";
    std::vector<std::string> prompts;
    for (; end < b.lines.size() && !b.lines[end].starts_with("$ "); ++end) {
      const std::string& line = b.lines[end];
      if (words[0] == "plinth" && (line == "sql>" || line.starts_with(prompt))) {
        prompts.push_back(line);
      }
      shown += line + "\n";
    }
    const std::string printed = run_command(dir, words, command, prompts);
    if (printed != shown) {
      EXPECT_EQ(visible(shown), visible(printed))
          << where << ": the document shows the first text, plinth printed the second";
    }
    start = end;
  }
  remove_tree(dir);
}

void check_document(const std::string& document, const std::vector<block>& blocks) {
  size_t sessions = 0;
  for (const block& b : blocks) {
    const std::string where = document + ":" + std::to_string(b.line);
    const bool session = !b.lines.empty() && starts_command(b.lines[0], "plinth");
    sessions += session;
    if (!b.fault.empty() || (!b.escape_fault.empty() && (session || shows_a_session(b)))) {
      ADD_FAILURE() << where << ": a code block can't be read: " << b.fault << b.escape_fault;
    } else if (session) {
      run_session(document, b);
    } else if (shows_a_session(b)) {
      ADD_FAILURE() << where << ": the block shows a prompt or a run of plinth but is not a "
                    << "session: begin it with `$ plinth FILE...`, or show the prompt in prose";
    }
  }
  EXPECT_GT(sessions, 0u) << document << " shows no example session: are its blocks still read?";
}

TEST(examples, of_the_readme_print_what_it_shows) {
  check_document("README.md", markdown_blocks(lines_of(read_file(source_dir + "/README.md"))));
}

TEST(examples, of_the_manual_page_print_what_it_shows) {
  check_document("plinth.1", roff_blocks(lines_of(read_file(source_dir + "/plinth.1"))));
}

}  // namespace
