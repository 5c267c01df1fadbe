// What only Windows does: text-mode saves, ReplaceFileW keeping what the
// file had, files another program holds or that are read-only, UTF-8 names,
// the scratch file's lock and text handed to the console as characters.
#include <windows.h>
// After windows.h, which they need.
#include <sddl.h>

#include <filesystem>
#include <fstream>

#include "os/files.h"
#include "os/os.h"
#include "run_plinth.h"
#include "scratch_fixture.h"
#include "shell/scratch_file.h"
#include "texttable/texttable.h"

namespace {

std::wstring wide(const std::string& name) {
  return std::filesystem::u8path(name).wstring();
}

struct save_case {
  const char* name;
  // Done between the load and the save; what it returns is closed after.
  HANDLE (*prepare)(const std::wstring& name);
  const char* error;  // of the save; "%s" is the name
  const char* kept;   // the file afterwards
  DWORD attributes;   // that it has afterwards
  // The edit before the save; null: every line upper case.
  const char* edit = nullptr;
};

HANDLE nothing(const std::wstring&) {
  return INVALID_HANDLE_VALUE;
}

HANDLE hide(const std::wstring& name) {
  SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_HIDDEN);
  return INVALID_HANDLE_VALUE;
}

HANDLE make_read_only(const std::wstring& name) {
  SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_READONLY);
  return INVALID_HANDLE_VALUE;
}

HANDLE lock(const std::wstring& name) {
  return CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Another program reads it, letting others write to it but not remove it.
HANDLE hold_against_removal(const std::wstring& name) {
  return CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

HANDLE link_twice(const std::wstring& name) {
  CreateHardLinkW((name + L".link").c_str(), name.c_str(), nullptr);
  return INVALID_HANDLE_VALUE;
}

const save_case save_cases[] = {
    {"plain.txt", nothing, "", "A\r\nB\r\n", 0},
    {"naïve.txt", nothing, "", "A\r\nB\r\n", 0},
    {"hidden.txt", hide, "", "A\r\nB\r\n", FILE_ATTRIBUTE_HIDDEN},
    {"linked.txt", link_twice, "", "A\r\nB\r\n", 0},
    // Written in place, shorter than it was.
    {"shrunk.txt", link_twice, "", "a\r\n", 0, "delete from `shrunk.txt` where data = 'b'"},
    {"cut.txt", nothing, "", "a\r\n", 0, "delete from `cut.txt` where data = 'b'"},
    // A line feed inside a value is a line end, as text mode writes it.
    {"feed.txt", nothing, "", "x\r\ny\r\n\r\nb\r\n", 0,
     "update `feed.txt` set data = 'x' || char(10) || 'y' || char(10) where row = 1"},
    {"read-only.txt", make_read_only, "Can't open %s\n", "a\nb\n", FILE_ATTRIBUTE_READONLY},
    {"locked.txt", lock, "Can't open %s\n", "a\nb\n", 0},
    // Written in place: no new file can take its name.
    {"held.txt", hold_against_removal, "", "A\r\nB\r\n", 0},
};

using windows_test = scratch_test;

TEST_F(windows_test, saves_as_a_windows_user_expects) {
  for (const save_case& c : save_cases) {
    SCOPED_TRACE(c.name);
    const std::wstring name = wide(c.name);
    std::filesystem::path path(name);
    { std::ofstream(path, std::ios::binary) << "a\nb\n"; }
    load_text_file(c.name);
    query(c.edit ? c.edit : std::string("update `") + c.name + "` set data = upper(data)");
    const HANDLE held = c.prepare(name);
    testing::internal::CaptureStderr();
    save_text_table(c.name);
    const std::string error = testing::internal::GetCapturedStderr();
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    std::string expected_error = c.error;
    if (const size_t at = expected_error.find("%s"); at != std::string::npos) {
      expected_error.replace(at, 2, c.name);
    }
    EXPECT_EQ(error, expected_error);
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.kept);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY), c.attributes);
    if (c.prepare == link_twice) {
      std::ifstream other(std::filesystem::path(name + L".link"), std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(other), {}), c.kept);
    }
    // Neither the replacement nor a backup is left beside it.
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
      EXPECT_EQ(entry.path().filename().wstring().find(L".plinth-"), std::wstring::npos)
          << entry.path().string();
    }
    SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

TEST_F(windows_test, names_windows_reads_as_another_file_are_not_written) {
  // A stream of another file, a final dot or space the system drops, a
  // device with an extension, bytes that are no UTF-8.
  for (const char* name : {"a.txt:stream", "a.txt.", "a.txt ", "nul.txt", "Com1 .log", "b\xff.txt",
                           // The engine's own files, in any letter case.
                           "Plinth.Temp.Htnilp-WAL"}) {
    SCOPED_TRACE(name);
    query(std::string("create table \"") + name + "\"(row integer primary key, data text)");
    query(std::string("insert into \"") + name + "\"(data) values ('x')");
    testing::internal::CaptureStderr();
    save_text_table(name);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("Can't open ") + name + "\n");
  }
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    EXPECT_EQ(entry.path().filename().string().rfind(scratch_db_name, 0), 0u)
        << entry.path().string();
  }
}

// The save check: a file another program wrote to after the load is
// refused once, then written; a backup a save in place left is named at the
// next load, and left.
TEST_F(windows_test, a_changed_file_and_a_cut_short_save_are_told) {
  write_file("w.txt", "a\r\n");
  load_text_file("w.txt");
  write_file("w.txt", "a\r\nb\r\n");
  testing::internal::CaptureStderr();
  save_text_table("w.txt");
  save_text_table("w.txt");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Can't save w.txt: it changed on disk since it was loaded; save again to write over "
            "it\n");
  EXPECT_EQ(read_file("w.txt"), "a\r\n");
  query("drop table `w.txt`");
  write_file(".w.txt.plinth-Ab12cD", "old\r\n");
  write_file(".w.txt.plinth-new-Ab12cD", "part\r\n");
  testing::internal::CaptureStderr();
  load_text_file("w.txt");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "w.txt: a save of it was cut short; its old content is in .w.txt.plinth-Ab12cD\n");
  EXPECT_EQ(read_file(".w.txt.plinth-Ab12cD"), "old\r\n");
  // One that had to go to the directory for temporary files carries the
  // file's volume and number in its name.
  BY_HANDLE_FILE_INFORMATION info = {};
  const HANDLE file =
      CreateFileW(L"w.txt", FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_TRUE(GetFileInformationByHandle(file, &info));
  CloseHandle(file);
  char tag[64];
  snprintf(tag, sizeof tag, "%lx-%llx-", info.dwVolumeSerialNumber,
           (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  wchar_t temporary[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
  const std::filesystem::path away = std::filesystem::path(std::wstring(temporary, length)) /
                                     (std::string(".w.txt.plinth-") + tag + "Xy34zW");
  { std::ofstream(away, std::ios::binary) << "older\r\n"; }
  query("drop table `w.txt`");
  testing::internal::CaptureStderr();
  load_text_file("w.txt");
  const std::string told = testing::internal::GetCapturedStderr();
  std::filesystem::remove(away);
  const std::u8string away_name = away.u8string();
  EXPECT_EQ(told,
            "w.txt: a save of it was cut short; its old content is in .w.txt.plinth-Ab12cD\n"
            "w.txt: a save of it was cut short; its old content is in " +
                std::string(away_name.begin(), away_name.end()) + "\n");
}

// A file's access list as text: its entries, and whether the directory's
// are kept off it ("P").
std::wstring access_list_of(const std::wstring& name) {
  const HANDLE file =
      CreateFileW(name.c_str(), READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD size = 0;
  GetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::vector<unsigned char> descriptor(size);
  const bool read = size > 0 && GetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION,
                                                        descriptor.data(), size, &size);
  CloseHandle(file);
  wchar_t* text = nullptr;
  if (!read || !ConvertSecurityDescriptorToStringSecurityDescriptorW(
                   descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    return L"unreadable";
  }
  std::wstring kept(text);
  LocalFree(text);
  return kept;
}

std::wstring current_user_sid() {
  HANDLE token;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  unsigned char buffer[256];
  DWORD size = sizeof buffer;
  const bool known = GetTokenInformation(token, TokenUser, buffer, size, &size);
  CloseHandle(token);
  wchar_t* text = nullptr;
  if (!known || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
    return L"";
  }
  std::wstring sid(text);
  LocalFree(text);
  return sid;
}

// A save's new file holds the old one's access list once it takes its
// place, and a file made for this user alone (a backup of a file written in
// place) is, whatever the directory gives new files. Lists are compared as
// the system reads them back: Wine keeps only what file modes can hold.
TEST_F(windows_test, access_lists_stay_the_files_own) {
  const std::wstring user = current_user_sid();
  ASSERT_FALSE(user.empty());
  const std::pair<const char*, std::wstring> files[] = {
      {"own.txt", L"D:P(A;;FA;;;" + user + L")"},
      {"shared.txt", L"D:P(A;;FA;;;" + user + L")(A;;FR;;;WD)"},
  };
  std::wstring read_back[2];
  for (int i = 0; i < 2; ++i) {
    const char* name = files[i].first;
    write_file(name, "a\r\nb\r\n");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        files[i].second.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
    const bool set = SetFileSecurityW(wide(name).c_str(), DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    if (!set) GTEST_SKIP() << "this file system keeps no access list of a file's own";
    read_back[i] = access_list_of(wide(name));
  }
  ASSERT_NE(read_back[0], read_back[1]);
  for (int i = 0; i < 2; ++i) {
    const char* name = files[i].first;
    SCOPED_TRACE(name);
    load_text_file(name);
    query(std::string("update `") + name + "` set data = upper(data)");
    save_text_table(name);
    EXPECT_EQ(read_file(name), "A\r\nB\r\n");
    EXPECT_EQ(access_list_of(wide(name)), read_back[i]);
  }
  os_handle file;
  ASSERT_EQ(os_files->create("private.txt", true, file), os_error::none);
  os_files->close(file);
  EXPECT_EQ(access_list_of(L"private.txt"), read_back[0]);
}

TEST_F(windows_test, a_second_hold_of_the_scratch_file_is_refused) {
  std::string reason;
  bool created = false;
  scratch_handle held = no_scratch_file;
  ASSERT_EQ(take_scratch_file(held, created, reason), scratch_found::taken) << reason;
  scratch_handle second = no_scratch_file;
  EXPECT_EQ(take_scratch_file(second, created, reason), scratch_found::refused);
  EXPECT_EQ(reason, "plinth.temp.htnilp is in use by another run");
  EXPECT_TRUE(scratch_file_still_named(held));
  os_let_go_scratch_file(false);
}

// At a console (test.sh runs this under a pseudo-terminal) the text shows as
// characters, one split between two writes whole, and the console's code
// pages stay as they were.
TEST(windows_console, shows_characters_and_keeps_its_code_pages) {
  const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode;
  if (!GetConsoleMode(console, &mode)) GTEST_SKIP() << "standard output is no console";
  const UINT output_page = GetConsoleOutputCP();
  const UINT input_page = GetConsoleCP();
  os_start();
  os_write_out("\n");
  os_flush_out();
  CONSOLE_SCREEN_BUFFER_INFO info;
  ASSERT_TRUE(GetConsoleScreenBufferInfo(console, &info));
  for (const char* piece : {"Zo\xc3", "\xab \xe2", "\x82", "\xac \xff|"}) {
    os_write_out(piece);
    os_flush_out();
  }
  for (const char* piece : {"\xc3", "\xa9"}) os_write_error(piece);
  EXPECT_EQ(GetConsoleOutputCP(), output_page);
  EXPECT_EQ(GetConsoleCP(), input_page);
  wchar_t shown[9];
  DWORD read = 0;
  ReadConsoleOutputCharacterW(console, shown, 9, COORD{0, info.dwCursorPosition.Y}, &read);
  EXPECT_EQ(std::wstring(shown, read), L"Zo\u00eb \u20ac \ufffd|\u00e9");
  os_write_out("\n");
}

}  // namespace
