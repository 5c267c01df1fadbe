// What a save leaves of the file it writes, end to end: a file replaced whole
// or not at all, what it was kept, refusals, and nothing left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <iostream>
#include <iterator>
#include <set>
#include <vector>

#include "fault_checks.h"
#include "run_plinth.h"

namespace {

const std::string old_text = "old 1\nold 2\n";
const std::string new_text = "new 1\nnew 2\nnew 3\n";

// The typed lines that make table `name` hold new_text and save it, twice:
// the first save over an existing file only says it was not loaded.
std::string make_and_save(const std::string& name) {
  return "new `" + name + "`\ninsert into `" + name +
         "` (data) values ('new 1'), ('new 2'), ('new 3');\nsave `" + name + "`\nsave `" + name +
         "`\n";
}

// What the first of those saves says over an existing file.
std::string not_loaded(const std::string& name) {
  return "Can't save " + name +
         ": the file exists and was not loaded; save again to write over it\n";
}

// A view of `lines` rows: as large as wanted without growing the scratch
// database, which the same limits would stop. `first` is the first row's
// value. Saved twice, as above.
std::string make_large_and_save(const std::string& name, int lines,
                                const std::string& first = "'line 1'") {
  return "create view `" + name +
         "` as with recursive n(i) as (select 1 union all select i + 1 from n where i < " +
         std::to_string(lines) + ") select i as row, iif(i = 1, " + first +
         ", 'line ' || i) as data from n;\nsave `" + name + "`\nsave `" + name + "`\n";
}

// Root, but held to the permission bits as a plain user is: without the
// capabilities that override them, also after plinth's exec.
void drop_permission_override() {
  for (int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
    if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) _exit(124);
  }
}

// A system call that fails with `error`; with `arg`, only where that
// argument is `value` (or, unless `equal`, is not), and with `arg2` also
// where that one is `value2`.
struct failed_call {
  int number;
  int error;
  int arg = -1;
  unsigned value = 0;
  bool equal = true;
  int arg2 = -1;
  unsigned value2 = 0;
};

void fail_calls(std::initializer_list<failed_call> calls) {
  std::vector<sock_filter> filter;
  for (const failed_call& c : calls) {
    const unsigned char rest = (c.arg < 0 ? 1 : 3) + (c.arg2 < 0 ? 0 : 2);
    filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(c.number), 0, rest));
    if (c.arg >= 0) {
      const unsigned at = static_cast<unsigned>(offsetof(seccomp_data, args) + 8 * c.arg);
      const unsigned char left = c.arg2 < 0 ? 0 : 2;
      const unsigned char match = c.equal ? 0 : static_cast<unsigned char>(1 + left);
      const unsigned char skip = c.equal ? static_cast<unsigned char>(1 + left) : 0;
      filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, at));
      filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, c.value, match, skip));
    }
    if (c.arg2 >= 0) {
      const unsigned at = static_cast<unsigned>(offsetof(seccomp_data, args) + 8 * c.arg2);
      filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, at));
      filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, c.value2, 0, 1));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(c.error)));
  }
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  sock_fprog program = {static_cast<unsigned short>(filter.size()), filter.data()};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    _exit(124);
  }
}

// Reserving room fails as where the file system can't: a full disk then
// shows only once the text is being written.
void fail_reservations() {
  fail_calls({{__NR_fallocate, EOPNOTSUPP}});
}

// The text's second write block (256 KiB long, from 256 KiB on) fails to be
// written, after the first has gone over the file. The engine writes pages
// of a few KiB.
void fail_buffer_writes() {
  fail_calls({{__NR_pwrite64, EIO, 3, 1 << 18, true, 2, 1 << 18}});
}

// A small file system of its own at d/full holding t.txt with old_text, and
// `filler` bytes besides.
std::string small_disk(const scratch_dir& d, const char* options, size_t filler) {
  std::filesystem::create_directory(d.path("full"));
  if (mount("tmpfs", d.path("full").c_str(), "tmpfs", 0, options) != 0) {
    return "needs root to mount a small file system";
  }
  write_file(d.path("full/t.txt"), old_text);
  if (filler > 0) write_file(d.path("full/filler"), std::string(filler, 'x'));
  return "";
}

struct stat status_of(const std::string& path) {
  struct stat info = {};
  lstat(path.c_str(), &info);
  return info;
}

struct save_case {
  const char* label;
  // Makes what the case needs around d/t.txt, which holds old_text; a text
  // returned is why the case can't run here.
  std::function<std::string(const scratch_dir&)> prepare;
  std::string input;
  std::string err;
  std::string file;     // the file the save must leave holding `content`
  std::string content;  // new_text, or old_text where the save must fail
  bool same_file;       // written in place (or not at all), not replaced
  std::function<void(const scratch_dir&)> in_child;
  std::function<void(const scratch_dir&, const struct stat& before)> check;
  bool backup_kept = false;  // `err` names it; it must hold old_text
};

std::string nothing(const scratch_dir&) {
  return "";
}

// Whether root may drop what `drop` drops: tried in a child first, as a
// sandbox may not let it.
std::string droppable(const std::function<void()>& drop) {
  pid_t pid = fork();
  if (pid == 0) {
    drop();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "capabilities can't be dropped";
}

std::string as_plain_user(const scratch_dir&) {
  return geteuid() == 0 ? droppable(drop_permission_override) : "";
}

std::string linked(const scratch_dir& d, const std::string& name) {
  return link(d.path(name).c_str(), d.path(name + ".also").c_str()) ? "link" : "";
}

// Runs a command of the acl package, or says why not.
std::string acl_command(const std::string& command) {
  if (system("command -v setfacl >/dev/null") != 0) return "setfacl is not installed";
  return system(command.c_str()) == 0 ? "" : "no access lists here";
}

bool has_access_list(const std::string& path) {
  return getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0) >= 0;
}

// Sets (`+a`) or clears (`-a`) the append-only attribute of directory d/ao,
// made here, or says why not.
std::string append_only(const scratch_dir& d, const char* change) {
  if (geteuid() != 0) return "needs root to make a directory append-only";
  std::filesystem::create_directories(d.path("ao"));
  const std::string command = std::string("chattr ") + change + " " + d.path("ao") + " 2>/dev/null";
  return system(command.c_str()) == 0 ? "" : "chattr +a does not work here";
}

// Root without one capability.
std::string root_without(int capability) {
  if (geteuid() != 0) return "needs root";
  return droppable([capability] {
    if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) _exit(1);
  });
}

const save_case save_cases[] = {
    {"a file is replaced and keeps its permissions",
     [](const scratch_dir& d) { return chmod(d.path("t.txt").c_str(), 0604) ? "chmod" : ""; },
     make_and_save("t.txt"), not_loaded("t.txt"), "t.txt", new_text, false, nullptr,
     [](const scratch_dir& d, const struct stat&) {
       EXPECT_EQ(status_of(d.path("t.txt")).st_mode & 07777, 0604u);
     }},
    {"root keeps another user's owner and set-ID bits",
     [](const scratch_dir& d) -> std::string {
       if (geteuid() != 0) return "needs root";
       return chown(d.path("t.txt").c_str(), 4321, 4322) || chmod(d.path("t.txt").c_str(), 06754)
                  ? "chown"
                  : "";
     },
     make_and_save("t.txt"), not_loaded("t.txt"), "t.txt", new_text, false, nullptr,
     [](const scratch_dir& d, const struct stat&) {
       struct stat info = status_of(d.path("t.txt"));
       EXPECT_EQ(info.st_uid, 4321u);
       EXPECT_EQ(info.st_gid, 4322u);
       EXPECT_EQ(info.st_mode & 07777, 06754u);
     }},
    {"a symbolic link stays a link to the file written",
     [](const scratch_dir& d) { return symlink("t.txt", d.path("link").c_str()) ? "symlink" : ""; },
     make_and_save("link"), not_loaded("link"), "t.txt", new_text, false, nullptr,
     [](const scratch_dir& d, const struct stat&) {
       EXPECT_TRUE(S_ISLNK(status_of(d.path("link")).st_mode));
     }},
    {"a dangling link makes the file it points to",
     [](const scratch_dir& d) {
       return symlink("made.txt", d.path("link").c_str()) ? "symlink" : "";
     },
     make_and_save("link"), "", "made.txt", new_text, false, nullptr,
     [](const scratch_dir& d, const struct stat&) {
       EXPECT_TRUE(S_ISLNK(status_of(d.path("link")).st_mode));
     }},
    {"a file with a second name is written in place",
     [](const scratch_dir& d) {
       return link(d.path("t.txt").c_str(), d.path("also").c_str()) ? "link" : "";
     },
     make_and_save("t.txt"), not_loaded("t.txt"), "t.txt", new_text, true, nullptr,
     [](const scratch_dir& d, const struct stat&) {
       EXPECT_EQ(read_file(d.path("also")), new_text);
     }},
    {"a file with an extended attribute is replaced and keeps it",
     [](const scratch_dir& d) {
       return setxattr(d.path("t.txt").c_str(), "user.plinth", "kept", 4, 0) ? "no user xattrs here"
                                                                             : "";
     },
     make_and_save("t.txt"), not_loaded("t.txt"), "t.txt", new_text, false, nullptr,
     [](const scratch_dir& d, const struct stat&) {
       char value[8] = {};
       EXPECT_EQ(getxattr(d.path("t.txt").c_str(), "user.plinth", value, sizeof value), 4);
     }},
    {"a file the user can't write is refused",
     [](const scratch_dir& d) {
       return chmod(d.path("t.txt").c_str(), 0444) ? "chmod" : as_plain_user(d);
     },
     make_and_save("t.txt"), "Can't open t.txt\nCan't open t.txt\n", "t.txt", old_text, true,
     [](const scratch_dir&) { drop_permission_override(); }, nullptr},
    {"a directory that takes no new file: the file is written in place",
     [](const scratch_dir& d) {
       std::filesystem::create_directory(d.path("ro"));
       std::filesystem::rename(d.path("t.txt"), d.path("ro/t.txt"));
       return chmod(d.path("ro").c_str(), 0555) ? "chmod" : as_plain_user(d);
     },
     make_and_save("ro/t.txt"), not_loaded("ro/t.txt"), "ro/t.txt", new_text, true,
     [](const scratch_dir&) { drop_permission_override(); }, nullptr},
    {"a file size limit fails the save, and the run goes on", nothing,
     make_large_and_save("t.txt", 100000) + "select 'still here';\n",
     not_loaded("t.txt") + "Can't write t.txt\n", "t.txt", old_text, true,
     [](const scratch_dir&) {
       const rlimit limit = {1 << 16, 1 << 16};
       setrlimit(RLIMIT_FSIZE, &limit);
     },
     nullptr},
    {"a full disk fails the save",
     [](const scratch_dir& d) { return small_disk(d, "size=256k", 200000); },
     make_large_and_save("full/t.txt", 20000),
     not_loaded("full/t.txt") + "Can't write full/t.txt\n", "full/t.txt", old_text, true, nullptr,
     nullptr},
    {"a disk that fills halfway through the text fails the save",
     [](const scratch_dir& d) { return small_disk(d, "size=256k", 200000); },
     make_large_and_save("full/t.txt", 20000),
     not_loaded("full/t.txt") + "Can't write full/t.txt\n", "full/t.txt", old_text, true,
     [](const scratch_dir&) { fail_reservations(); }, nullptr},
    {"no room for the temporary file fails the save",
     [](const scratch_dir& d) { return small_disk(d, "size=256k,nr_inodes=2", 0); },
     make_and_save("full/t.txt"), not_loaded("full/t.txt") + "Can't write full/t.txt\n",
     "full/t.txt", old_text, true, nullptr, nullptr},
    // Written in place, with the old content in a backup until the new is
    // whole.
    {"a hard-linked file on a full disk that can't reserve room keeps its old content",
     [](const scratch_dir& d) {
       std::string why = small_disk(d, "size=256k", 200000);
       return why.empty() ? linked(d, "full/t.txt") : why;
     },
     make_large_and_save("full/t.txt", 20000),
     not_loaded("full/t.txt") + "Can't write full/t.txt\n", "full/t.txt", old_text, true,
     [](const scratch_dir&) { fail_reservations(); }, nullptr},
    {"no room for the backup: nothing is touched",
     [](const scratch_dir& d) {
       // A second name takes an inode of its own here.
       std::string why = small_disk(d, "size=256k,nr_inodes=3", 0);
       return why.empty() ? linked(d, "full/t.txt") : why;
     },
     make_and_save("full/t.txt"), not_loaded("full/t.txt") + "Can't write full/t.txt\n",
     "full/t.txt", old_text, true, nullptr, nullptr},
    // Twice: a file whose old content was written back is still the one loaded.
    {"an I/O error writing in place: the old content is written back",
     [](const scratch_dir& d) -> std::string {
       // A time long past, which writing the old content back can't keep.
       const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
       if (utimensat(AT_FDCWD, d.path("t.txt").c_str(), times, 0) != 0) return "utimensat";
       return linked(d, "t.txt");
     },
     "load t.txt\nupdate `t.txt` set data = hex(zeroblob(100000)) where row = 1;\n"
     "with recursive n(i) as (select 1 union all select i + 1 from n where i < 60000) "
     "insert into `t.txt` (data) select 'line ' || i from n;\nsave t.txt\nsave t.txt\n",
     "Can't write t.txt\nCan't write t.txt\n", "t.txt", old_text, true,
     [](const scratch_dir&) { fail_buffer_writes(); }, nullptr},
    {"the old content can't be written back: it stays in the backup",
     [](const scratch_dir& d) { return linked(d, "t.txt"); },
     make_large_and_save("t.txt", 60000, "hex(zeroblob(100000))"),
     not_loaded("t.txt") + "Can't write t.txt: its old content is in ", "t.txt", "", true,
     [](const scratch_dir&) {
       // Only cutting the file to its old length fails; the engine empties its journal.
       fail_calls({{__NR_pwrite64, EIO, 3, 1 << 18, true, 2, 1 << 18},
                   {__NR_ftruncate, EIO, 1, 0, false}});
     },
     nullptr, true},
    // A replacement gets the old file's identity, or the file is written in
    // place.
    {"a file without an access list does not take its directory's",
     [](const scratch_dir& d) {
       chmod(d.path("t.txt").c_str(), 0640);
       return acl_command("setfacl -d -m u:4321:rw " + d.root);
     },
     make_and_save("t.txt"), not_loaded("t.txt"), "t.txt", new_text, false, nullptr,
     [](const scratch_dir& d, const struct stat&) {
       EXPECT_FALSE(has_access_list(d.path("t.txt")));
       EXPECT_EQ(status_of(d.path("t.txt")).st_mode & 07777, 0640u);
     }},
    {"a group that can't be given in a set-group-ID directory: in place",
     [](const scratch_dir& d) -> std::string {
       if (std::string why = root_without(CAP_CHOWN); !why.empty()) return why;
       std::filesystem::create_directory(d.path("sg"));
       std::filesystem::rename(d.path("t.txt"), d.path("sg/t.txt"));
       return chown(d.path("sg").c_str(), 0, 4322) || chmod(d.path("sg").c_str(), 02775) ||
                      chown(d.path("sg/t.txt").c_str(), 0, 4323) ||
                      chmod(d.path("sg/t.txt").c_str(), 0640)
                  ? "chown"
                  : "";
     },
     make_and_save("sg/t.txt"), not_loaded("sg/t.txt"), "sg/t.txt", new_text, true,
     [](const scratch_dir&) { prctl(PR_CAPBSET_DROP, CAP_CHOWN, 0, 0, 0); },
     [](const scratch_dir& d, const struct stat&) {
       EXPECT_EQ(status_of(d.path("sg/t.txt")).st_gid, 4323u);
       EXPECT_EQ(status_of(d.path("sg/t.txt")).st_mode & 07777, 0640u);
     }},
    {"a set-ID file written in place keeps its bits",
     [](const scratch_dir& d) -> std::string {
       if (std::string why = root_without(CAP_FSETID); !why.empty()) return why;
       return chmod(d.path("t.txt").c_str(), 06750) ? "chmod" : linked(d, "t.txt");
     },
     make_and_save("t.txt"), not_loaded("t.txt"), "t.txt", new_text, true,
     [](const scratch_dir&) { prctl(PR_CAPBSET_DROP, CAP_FSETID, 0, 0, 0); },
     [](const scratch_dir& d, const struct stat&) {
       EXPECT_EQ(status_of(d.path("t.txt")).st_mode & 07777, 06750u);
     }},
    {"a file mounted over another is written in place",
     [](const scratch_dir& d) -> std::string {
       write_file(d.path("source.txt"), old_text);
       if (mount(d.path("source.txt").c_str(), d.path("t.txt").c_str(), nullptr, MS_BIND,
                 nullptr) != 0) {
         return "needs root to mount";
       }
       return "";
     },
     make_and_save("t.txt"), not_loaded("t.txt"), "t.txt", new_text, true, nullptr,
     [](const scratch_dir& d, const struct stat&) {
       EXPECT_EQ(read_file(d.path("source.txt")), new_text);
     }},
    {"a link another user planted in a shared directory is not followed",
     [](const scratch_dir& d) -> std::string {
       if (geteuid() != 0) return "needs root to plant another user's link";
       std::filesystem::create_directory(d.path("shared"));
       chmod(d.path("shared").c_str(), 01777);
       if (symlink("../t.txt", d.path("shared/link").c_str()) != 0) return "symlink";
       return lchown(d.path("shared/link").c_str(), 4321, 4321) ? "lchown" : "";
     },
     make_and_save("shared/link"), "Can't open shared/link\nCan't open shared/link\n", "t.txt",
     old_text, true, nullptr, nullptr},
    // A file there could be made but never renamed over nor removed.
    {"an append-only directory: the file is written in place, nothing added",
     [](const scratch_dir& d) {
       std::filesystem::create_directory(d.path("ao"));
       std::filesystem::rename(d.path("t.txt"), d.path("ao/t.txt"));
       return append_only(d, "+a");
     },
     make_and_save("ao/t.txt"), not_loaded("ao/t.txt"), "ao/t.txt", new_text, true, nullptr,
     nullptr},
    {"an append-only directory: a new file is made there, nothing else",
     [](const scratch_dir& d) { return append_only(d, "+a"); }, make_and_save("ao/made.txt"), "",
     "ao/made.txt", new_text, false, nullptr, nullptr},
    {"a file the save makes gets 0666 less the umask", nothing, make_and_save("made.txt"), "",
     "made.txt", new_text, false, [](const scratch_dir&) { umask(027); },
     [](const scratch_dir& d, const struct stat&) {
       EXPECT_EQ(status_of(d.path("made.txt")).st_mode & 07777, 0640u);
     }},
};

TEST(save, leaves_the_file_whole_old_or_new_and_nothing_else) {
  for (const save_case& c : save_cases) {
    SCOPED_TRACE(c.label);
    scratch_dir d;
    write_file(d.path("t.txt"), old_text);
    write_file(d.path("empty.txt"), "");
    if (std::string why = c.prepare(d); !why.empty()) {
      std::cout << "[ skipped  ] " << c.label << ": " << why << "\n";
      continue;
    }
    const struct stat before = status_of(d.path(c.file));
    std::set<std::string> expected_names = tree(d.root);
    expected_names.insert(c.file);

    plinth_streams streams;
    streams.input = c.input;
    if (c.in_child) streams.in_child = [&] { c.in_child(d); };
    plinth_process p = start_plinth(d.root, {"empty.txt"}, streams);
    plinth_run run = wait_plinth(p);

    EXPECT_EQ(run.status, 0);
    if (c.backup_kept) {
      std::set<std::string> added;
      std::ranges::set_difference(tree(d.root), expected_names, std::inserter(added, added.end()));
      ASSERT_EQ(added.size(), 1u);
      EXPECT_EQ(run.err, c.err + *added.begin() + "\n");
      EXPECT_EQ(read_file(d.path(*added.begin())), old_text);
      std::filesystem::remove(d.path(*added.begin()));
    } else {
      EXPECT_EQ(run.err, c.err);
      EXPECT_EQ(read_file(d.path(c.file)), c.content);
    }
    const struct stat after = status_of(d.path(c.file));
    if (c.same_file) {
      EXPECT_EQ(after.st_ino, before.st_ino);
    } else if (before.st_ino != 0) {
      EXPECT_NE(after.st_ino, before.st_ino);
    }
    if (c.check) c.check(d, before);
    EXPECT_EQ(tree(d.root), expected_names);
    for (const char* mounted : {"full", "t.txt"}) umount2(d.path(mounted).c_str(), MNT_DETACH);
    chmod(d.path("ro").c_str(), 0755);
    if (file_exists(d.path("ao"))) append_only(d, "-a");
  }
}

struct shared_case {
  const char* label;
  mode_t directory_mode;
  uid_t directory_owner;
  uid_t file_owner;
  bool fifo;  // with a reader waiting
  bool refused;
};

TEST(save, in_a_shared_directory_refuses_what_another_user_put_there) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
  const shared_case cases[] = {
      {"another user's file, sticky and world-writable", 01777, 0, 4321, false, true},
      {"another user's FIFO", 01777, 0, 4321, true, true},
      {"another user's file, sticky and group-writable", 01770, 0, 4321, false, true},
      {"the directory owner's file", 01777, 4321, 4321, false, false},
      {"another user's file, not sticky", 0777, 0, 4321, false, false},
  };
  for (const shared_case& c : cases) {
    SCOPED_TRACE(c.label);
    scratch_dir d;
    write_file(d.path("empty.txt"), "");
    const std::string file = d.path("shared/t");
    std::filesystem::create_directory(d.path("shared"));
    ASSERT_EQ(chmod(d.path("shared").c_str(), c.directory_mode), 0);
    ASSERT_EQ(chown(d.path("shared").c_str(), c.directory_owner, c.directory_owner), 0);
    int reader = -1;
    if (c.fifo) {
      ASSERT_EQ(mkfifo(file.c_str(), 0666), 0);
      reader = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } else {
      write_file(file, old_text);
    }
    ASSERT_EQ(chown(file.c_str(), c.file_owner, c.file_owner), 0);

    plinth_run run = run_plinth(d.root, {"empty.txt"}, make_and_save("shared/t"));
    EXPECT_EQ(run.err,
              c.refused ? "Can't open shared/t\nCan't open shared/t\n" : not_loaded("shared/t"));
    if (c.fifo) {
      char byte;
      EXPECT_LE(read(reader, &byte, 1), 0);
      close(reader);
    } else {
      EXPECT_EQ(read_file(file), c.refused ? old_text : new_text);
    }
  }
}

}  // namespace
