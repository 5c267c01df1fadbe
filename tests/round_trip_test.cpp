// Load then save gives a file back byte for byte when it ends in a line feed
// and holds no CR before a line feed and no zero byte; other files come back
// as the loader keeps them, those with a zero byte only at a second save.

#include <algorithm>
#include <filesystem>
#include <random>

#include "kept_text.h"
#include "os/os.h"
#include "scratch_fixture.h"
#include "texttable/texttable.h"
#include "texttable/utf16_text.h"

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
    std::string content = read_file(paths[i]);
    // A file that begins with a UTF-16 mark is read as its text, not its
    // bytes: the UTF-16 round trips below cover those.
    if (content.starts_with("\xFF\xFE") || content.starts_with("\xFE\xFF")) continue;
    files.push_back(std::move(content));
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

// A file of `units` after a UTF-16 mark, in either byte order, then `odd`.
std::string utf16_file(bool big, std::u16string_view units, std::string_view odd = "") {
  std::string bytes = big ? "\xfe\xff" : "\xff\xfe";
  for (char16_t unit : units) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xff);
    bytes += big ? high : low;
    bytes += big ? low : high;
  }
  return bytes.append(odd);
}

struct utf16_case {
  const char* label;
  std::u16string units;
  std::string odd;                  // a last byte that is half a code unit
  std::vector<std::string> rows;    // their data
  const char16_t* saved = nullptr;  // when not the file itself
};

const utf16_case utf16_cases[] = {
    {"CR LF", u"hi\r\nna\u00efve\r\n", "", {"hi", "na\xc3\xafve"}},
    {"LF, a blank line", u"a\n\nb\n", "", {"a", "", "b"}},
    {"the mark only", u"", "", {}},
    {"beyond the BMP", u"\U0001F600x\U00010000\n", "", {"\xf0\x9f\x98\x80x\xf0\x90\x80\x80"}},
    {"lone surrogates",
     u"\xdc00\xd800"
     u"a\xdbff\n",
     "",
     {"\xed\xb0\x80\xed\xa0\x80"
      "a\xed\xaf\xbf"}},
    {"an odd byte after a line end",
     u"a\r\n",
     "A",
     {"a",
      "\xff"
      "41"}},
    {"an odd byte after a lone high surrogate",
     u"a\n\xd83d",
     "\x7f",
     {"a",
      "\xed\xa0\xbd\xff"
      "7F"}},
    {"a zero code unit", std::u16string(u"a\0b\n", 4), "", {"a"}, u"a\n"},
    {"the first line decides the line end", u"a\nb\r\n", "", {"a", "b"}, u"a\nb\n"},
};

TEST_F(round_trip_test, utf16_files) {
  for (const utf16_case& c : utf16_cases) {
    for (bool big : {false, true}) {
      SCOPED_TRACE(std::string(c.label) + (big ? ", big-endian" : ""));
      const std::string content = utf16_file(big, c.units, c.odd);
      write_file("u", content);
      testing::internal::CaptureStderr();
      load_text_file("u");
      EXPECT_EQ(query("select data from u"), c.rows);
      save_text_table("u");
      save_text_table("u");
      const bool zero = c.units.find(u'\0') != std::u16string::npos;
      EXPECT_EQ(testing::internal::GetCapturedStderr(),
                zero_byte_refusal(zero ? std::string(1, '\0') : "", "u"));
      EXPECT_EQ(read_file("u"), c.saved ? utf16_file(big, c.saved) : content);
      query("drop table u");
    }
  }
}

// New rows take the file's line end; bytes that are no UTF-8 and an odd
// byte's stand-in that is no longer last are written as text. A save refused
// for a change on disk keeps the form for the next.
TEST_F(round_trip_test, an_edited_utf16_file) {
  write_file("u", utf16_file(false, u"hi\r\nna\u00efve\r\n", "A"));
  load_text_file("u");
  query(
      "update u set data = 'x' || cast(x'c3ff' as text) || 'caf\xc3\xa9\xf0\x9f\x98\x80' where "
      "row = 2; insert into u (data) values ('end')");
  write_file("u", read_file("u") + "!");
  testing::internal::CaptureStderr();
  save_text_table("u");
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
  save_text_table("u");
  EXPECT_EQ(read_file("u"), utf16_file(false,
                                       u"hi\r\nx\xdcc3\xdcff"
                                       u"caf\u00e9\U0001F600\r\n\xdcff"
                                       u"41\r\nend\r\n"));
}

// A file with a second name is written over in place: its new length is the
// encoded text's, longer or shorter, and both names show it.
TEST_F(round_trip_test, a_utf16_file_written_in_place) {
  const struct {
    const char* sql;
    std::u16string_view saved;
  } cases[] = {
      {"update u set data = data || 'longer'", u"\u00e9longer\r\nblonger\r\n"},
      {"delete from u where row = 2", u"\u00e9\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    write_file("u", utf16_file(true, u"\u00e9\r\nb\r\n"));
    std::filesystem::remove("v");
    std::filesystem::create_hard_link("u", "v");
    load_text_file("u");
    query(c.sql);
    save_text_table("u");
    EXPECT_EQ(read_file("u"), utf16_file(true, c.saved));
    EXPECT_EQ(read_file("v"), read_file("u"));
    query("drop table u");
  }
}

int64_t read_seven(int fd, void* buffer, size_t size) {
  return os_read(fd, buffer, std::min<size_t>(size, 7));
}

// What a file reads as, the hash and size of its bytes, and its line end.
std::string text_read(const char* name, size_t block_size, read_function read_bytes) {
  file_status status;
  const int fd = os_open_to_read(name, status);
  text_input in;
  content_hash hash;
  EXPECT_TRUE(start_content_hash(hash));
  std::string text;
  std::vector<char> block(block_size);
  for (int64_t n; (n = read_text(in, fd, block.data(), block.size(), hash, read_bytes)) > 0;) {
    text.append(block.data(), static_cast<size_t>(n));
  }
  os_close(fd);
  return text + std::to_string(content_hash_value(hash)) + " " + std::to_string(hash.size) +
         (in.form.crlf ? " CR LF" : " LF");
}

// Reads and blocks that split code units and surrogate pairs anywhere change
// nothing; a large file comes back whole.
TEST_F(round_trip_test, utf16_in_pieces) {
  std::u16string units = u"a";  // puts the first line feed across two reads
  for (int i = 0; i < 40000; ++i)
    units += i % 5 == 0 ? u"\U0001F600" : i % 7 == 0 ? u"\r\n" : u"\u00e9x";
  units += u"\r\n";
  const std::string content = utf16_file(true, units, "\x01");
  write_file("u", content);
  EXPECT_EQ(text_read("u", 64, read_seven), text_read("u", 1 << 16, os_read));
  load_text_file("u");
  save_text_table("u");
  EXPECT_EQ(read_file("u"), content);
}

}  // namespace
