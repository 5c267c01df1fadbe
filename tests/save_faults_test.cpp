// Every call a save makes, failed with each error a system gives, stopped
// there by a kill or a power cut, or raced by another program writing to the
// file, on a stand-in for Linux and for Windows: the name keeps its old
// content or gets the whole new one, or the old content is whole in a
// backup the user is told of, and nothing else changes.
#include <optional>

#include "scratch_fixture.h"
#include "stand_in_files.h"
#include "texttable/cut_short_saves.h"
#include "texttable/seen_files.h"
#include "texttable/texttable.h"

namespace {

const std::string name = "t.txt";
const std::string second_name = "t2.txt";

enum class shape : uint8_t {
  replace,
  replace_whole_seconds,  // where the system keeps times to the second
  two_names,
  fixed_in_place,
  keeps_names,
  new_file
};

struct save_case {
  const char* label;
  shape kind;
  const char* old_rows;  // the file's lines as a select or values; null: no file
  const char* new_rows;  // the table's
};

const save_case save_cases[] = {
    {"replaced", shape::replace, "values ('old 1'), ('old 2')",
     "values ('new 1'), ('new 2'), ('new 3')"},
    {"replaced, times in seconds", shape::replace_whole_seconds, "values ('old 1'), ('old 2')",
     "values ('new 1'), ('new 2'), ('new 3')"},
    {"in place, two names", shape::two_names, "values ('old 1'), ('old 2')",
     "values ('new 1'), ('new 2'), ('new 3')"},
    {"in place, fixed, shorter", shape::fixed_in_place,
     "values ('old line 1'), ('old line 2'), ('old line 3')", "values ('new')"},
    {"in place, the directory keeps names", shape::keeps_names, "values ('old 1'), ('old 2')",
     "values ('new')"},
    {"new file", shape::new_file, nullptr, "values ('new 1'), ('new 2')"},
    // Write blocks of 256 KiB: three old, four new.
    {"in place, blocks", shape::two_names,
     "with r(i) as (values (1), (2), (3)) select printf('old %d %.200000c', i, char(96 + i)) "
     "from r",
     "with r(i) as (values (1), (2), (3), (4)) select printf('new %d %.200000c', i, char(106 + i)) "
     "from r"},
};

// A fault, and what it is in words.
struct named_fault {
  stand_in_fault fault;
  std::string what;
};

// The faults at a call of `entry`: the errors a real system gives there (a
// call that only says whether it worked fails once), another program at
// work, a kill, a power cut, and Windows' own failures of replace.
std::vector<named_fault> faults_at(std::string_view entry, stand_in_system system) {
  const std::string call = " " + std::string(entry) + " ";
  std::vector<named_fault> faults;
  const auto add = [&](const char* what, fault_kind kind, os_error error = os_error::none) {
    faults.push_back({stand_in_fault(), what});
    faults.back().fault.kind = kind;
    faults.back().fault.error = error;
  };
  const auto among = [&](std::string_view calls) { return calls.find(call) != calls.npos; };
  if (among(" create place replace write_at write set_length reserve sync ")) {
    add("fails: no space", fault_kind::fail, os_error::no_space);
  }
  if (!entry.starts_with("give_")) add("fails: I/O", fault_kind::fail, os_error::io);
  if (among(" resolve look list open create place replace remove_if_same give_identity "
            "give_mode ")) {
    add("fails: denied", fault_kind::fail, os_error::denied);
  }
  if (among(" create place ")) add("finds its name taken", fault_kind::taken);
  add("has a line appended first", fault_kind::append);
  add("has bytes rewritten first", fault_kind::rewrite);
  add("is killed", fault_kind::stop);
  add("loses power", fault_kind::power_cut);
  if (entry == "replace" && system == stand_in_system::windows_like) {
    add("fails, both files kept (1176)", fault_kind::replace_kept);
    add("fails, the old file aside (1177)", fault_kind::replace_aside);
    add("is killed between its moves", fault_kind::stop_aside);
  }
  return faults;
}

// Where a run starts from: the files, and what the table holds of its own.
struct start_of_runs {
  stand_in_world world;
  std::optional<seen_file> seen;
  std::map<std::string, stand_in_file> files;
  std::optional<std::string> old_text;
  std::string new_text;
  bool in_place = false;
};

std::optional<std::string> text_of(const std::map<std::string, stand_in_file>& files,
                                   const std::string& path) {
  const auto found = files.find(path);
  if (found == files.end()) return std::nullopt;
  return found->second.content;
}

// What another program's write makes of `text`.
std::optional<std::string> with_theirs(const stand_in_fault& fault,
                                       const std::optional<std::string>& text) {
  if (fault.kind != fault_kind::rewrite) return text.value_or("") + std::string(their_line);
  if (!text) return std::nullopt;
  return std::string(*text).replace(static_cast<size_t>(fault.offset), their_bytes.size(),
                                    their_bytes);
}

std::string saved_stderr() {
  testing::internal::CaptureStderr();
  save_text_table(name.c_str());
  return testing::internal::GetCapturedStderr();
}

std::string run_save(const start_of_runs& start, const stand_in_fault& fault) {
  stand_in = start.world;
  stand_in.calls = 0;
  stand_in.log.clear();
  stand_in.fault = fault;
  if (start.seen) {
    remember_seen_file(name, *start.seen);
  } else {
    forget_seen_file(name);
  }
  return saved_stderr();
}

std::string refusal(const start_of_runs& start) {
  return "Can't save " + name + ": " +
         (start.old_text ? "it changed on disk since it was loaded"
                         : "the file exists and was not loaded") +
         "; save again to write over it\n";
}

// What the next run's notice names holds the old content, and it names one
// wherever the name holds neither the old content nor the new.
std::string problem_with_notice(const start_of_runs& start,
                                const std::map<std::string, stand_in_file>& files) {
  testing::internal::CaptureStderr();
  report_cut_short_saves(name.c_str());
  const std::string notice = testing::internal::GetCapturedStderr();
  const std::string told = name + ": a save of it was cut short; its old content is in ";
  size_t named = 0;
  for (size_t at = 0, end; (end = notice.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = notice.substr(at, end - at);
    if (!line.starts_with(told)) return "the next run says " + line;
    if (text_of(files, line.substr(told.size())) != start.old_text) {
      return "the next run names " + line.substr(told.size()) + ", which lacks the old content";
    }
    ++named;
  }
  const std::optional<std::string> at_name = text_of(files, name);
  if (at_name != start.old_text && at_name != start.new_text && named == 0) {
    return "the name holds neither content, and the next run names no backup";
  }
  return "";
}

// What the line says happened is what the name holds.
std::string problem_with_line(const start_of_runs& start, const stand_in_fault& fault,
                              const std::string& line,
                              const std::map<std::string, stand_in_file>& files) {
  const std::optional<std::string> at_name = text_of(files, name);
  const std::string kept = "Can't write " + name + ": its old content is in ";
  if (stand_in.raced) return "";
  if (stand_in.intruded) {
    if (line.empty() && at_name == with_theirs(fault, start.new_text)) return "";
    if (line == refusal(start) && at_name == with_theirs(fault, start.old_text)) return "";
    return "another program's bytes were lost or the save not refused: " + line;
  }
  if (line.empty()) return at_name == start.new_text ? "" : "done, without the new content";
  if (line == "Can't write " + name + "\n" || line == "Can't open " + name + "\n") {
    return at_name == start.old_text ? "" : "the old content is lost: " + line;
  }
  if (line.starts_with(kept) && line.ends_with('\n')) {
    const std::string backup = line.substr(kept.size(), line.size() - kept.size() - 1);
    return text_of(files, backup) == start.old_text ? "" : backup + " lacks the old content";
  }
  return "it says " + line;
}

// Files other than the name's: as they were, and none of the save's left
// but the backup the line names, unless the process was stopped or the
// system would not remove it.
std::string problem_with_others(const start_of_runs& start, const std::string& line,
                                const std::map<std::string, stand_in_file>& files, bool may_leave) {
  for (const auto& [path, before] : start.files) {
    const auto now = files.find(path);
    const bool same = now != files.end() && now->second.number == before.number;
    if (path == name) {
      // Written in place, it stays the file it was, with all its names.
      if (start.in_place && now != files.end() && !same) return "the name leads to another file";
    } else if (path == second_name ? !same : now == files.end() || now->second != before) {
      return path + " changed";
    }
  }
  const std::string kept = "Can't write " + name + ": its old content is in ";
  for (const auto& [path, file] : files) {
    if (start.files.count(path) != 0 || path == name || may_leave) continue;
    const bool theirs =
        std::find(stand_in.theirs.begin(), stand_in.theirs.end(), path) != stand_in.theirs.end();
    if (theirs ? file.content != their_line : line != kept + path + "\n") {
      return "the save left " + path + " behind";
    }
  }
  return stand_in_open_handles() != 0 ? "the save left files open" : "";
}

std::string problem_with(const start_of_runs& start, const stand_in_fault& fault,
                         const std::string& line) {
  const bool stopped = stand_in.dead;
  const std::string_view entry = fault.at >= 0 ? stand_in.log.at(size_t(fault.at)) : "";
  const bool may_leave = stopped || (fault.kind == fault_kind::fail && entry == "remove_if_same");
  if (stopped) stand_in_revive();
  const std::map<std::string, stand_in_file> files = stand_in_listing();
  const std::optional<std::string> at_name = text_of(files, name);
  if (at_name && files.at(name).mode != 0644) return "the name's file has another mode";
  std::string problem = stopped ? "" : problem_with_line(start, fault, line, files);
  if (problem.empty() && may_leave) problem = problem_with_notice(start, files);
  if (problem.empty()) problem = problem_with_others(start, line, files, may_leave);
  // Done, it lasts: a power cut just after it leaves the name as it is,
  // unless the system would not sync its directory.
  if (problem.empty() && line.empty() && !stopped && !stand_in.intruded &&
      entry != "sync_directory") {
    const stand_in_world before_cut = stand_in;
    stand_in_power_cut();
    if (text_of(stand_in_listing(), name) != at_name) problem = "a power cut after it undoes it";
    stand_in = before_cut;
  }
  // Refused once: the next save writes.
  if (problem.empty() && !stopped && line.starts_with("Can't save")) {
    stand_in.fault = stand_in_fault();
    const std::string again = saved_stderr();
    if (again != "" || text_of(stand_in_listing(), name) != start.new_text) {
      problem = "refused, and refused again: " + again;
    }
  }
  return problem;
}

struct save_faults_test : scratch_test {
  void TearDown() override {
    os_files = os_system_files();
    scratch_test::TearDown();
  }

  // The table holds the case's new rows; the stand-in, the file with its old
  // lines as a save of them left it.
  static void prepare(const save_case& c, stand_in_system system, start_of_runs& start) {
    stand_in_start(system);
    os_files = stand_in_files();
    stand_in.whole_seconds = c.kind == shape::replace_whole_seconds;
    stand_in_put("other.txt", "another file\n");
    stand_in_put("/tmp/other.txt", "another file in /tmp\n");
    forget_seen_file(name);
    query("drop table if exists `" + name + "`");
    ASSERT_EQ(create_text_table(name.c_str()), 1);
    const std::string insert = "insert into `" + name + "` (data) ";
    if (c.old_rows != nullptr) {
      query(insert + c.old_rows);
      ASSERT_EQ(saved_stderr(), "");
      query("delete from `" + name + "`");
    }
    query(insert + c.new_rows);
    if (c.kind == shape::two_names) {
      ASSERT_TRUE(stand_in_link(name, second_name));
    }
    if (c.kind == shape::fixed_in_place) stand_in_find(name)->facts.fixed_in_place = true;
    if (c.kind == shape::keeps_names) stand_in_find(".")->facts.keeps_names = true;
    stand_in_settle();
    start.world = stand_in;
    start.files = stand_in_listing();
    start.old_text = text_of(start.files, name);
    start.in_place = c.kind == shape::two_names || c.kind == shape::fixed_in_place ||
                     c.kind == shape::keeps_names;
    if (const seen_file* seen = find_seen_file(name)) start.seen = *seen;
  }
};

// Whether a save that failed at `fault` is stopped again at each later call:
// what it does to undo a write or a replacement.
bool stopped_again_after(const stand_in_fault& fault, std::string_view entry) {
  const bool undoes = entry == "write_at" || entry == "set_length" || entry == "sync";
  return fault.kind == fault_kind::replace_kept || fault.kind == fault_kind::replace_aside ||
         (fault.kind == fault_kind::fail && fault.error == os_error::io &&
          (undoes || entry == "replace"));
}

// The first run of a case that goes wrong, with each fault at each call.
std::string first_problem(const start_of_runs& start, const std::vector<std::string_view>& calls,
                          stand_in_system system) {
  const size_t middle =
      std::min(start.old_text.value_or(start.new_text).size(), start.new_text.size()) / 2;
  for (size_t k = 0; k < calls.size(); ++k) {
    for (auto [fault, described] : faults_at(calls[k], system)) {
      fault.at = static_cast<int64_t>(k);
      fault.target = name;
      fault.offset = static_cast<int64_t>(middle);
      const std::string line = run_save(start, fault);
      const int64_t made = stand_in.calls;
      std::string problem = problem_with(start, fault, line);
      const std::string what =
          "call " + std::to_string(k) + " (" + std::string(calls[k]) + ") " + described;
      if (!problem.empty()) return what + ": " + problem;
      for (fault.then_at = fault.at + 1;
           stopped_again_after(fault, calls[k]) && fault.then_at < made; ++fault.then_at) {
        for (bool power_cut : {false, true}) {
          fault.then_power_cut = power_cut;
          problem = problem_with(start, fault, run_save(start, fault));
          if (!problem.empty()) {
            return what + ", then call " + std::to_string(fault.then_at) +
                   (power_cut ? " loses power: " : " is killed: ") + problem;
          }
        }
      }
    }
  }
  return "";
}

TEST_F(save_faults_test, keeps_the_old_content_or_the_whole_new_whatever_fails) {
  for (const save_case& c : save_cases) {
    for (stand_in_system system : {stand_in_system::linux_like, stand_in_system::windows_like}) {
      const std::string where =
          std::string(c.label) +
          (system == stand_in_system::linux_like ? ", as Linux" : ", as Windows");
      start_of_runs start;
      prepare(c, system, start);
      const std::string line = run_save(start, {});
      start.new_text = text_of(stand_in_listing(), name).value_or("");
      const std::vector<std::string_view> calls = stand_in.log;
      std::string problem = line + problem_with(start, {}, line);
      if (problem.empty()) problem = first_problem(start, calls, system);
      EXPECT_EQ(problem, "") << where;
      os_files = os_system_files();
    }
  }
}

}  // namespace

namespace {

// Another program rewrote the file, its size and times as they were: only
// its content tells. A save that can't read it to the end can't tell, and
// must not write over it.
TEST_F(save_faults_test, refuses_a_file_it_cant_read_back_to_compare) {
  for (const save_case& c : save_cases) {
    if (c.old_rows == nullptr) continue;
    start_of_runs start;
    prepare(c, stand_in_system::linux_like, start);
    std::string& content = stand_in_find(name)->content;
    content.replace(0, their_bytes.size(), their_bytes);
    const std::string rewritten = content;
    start.world = stand_in;
    EXPECT_EQ(run_save(start, {}), refusal(start)) << c.label;
    stand_in_fault fault;
    fault.kind = fault_kind::fail;
    fault.error = os_error::io;
    const auto& log = stand_in.log;
    fault.at = std::find(log.begin(), log.end(), "read_at") - log.begin();
    EXPECT_EQ(run_save(start, fault), "Can't open " + name + "\n") << c.label;
    EXPECT_EQ(text_of(stand_in_listing(), name), rewritten) << c.label;
    os_files = os_system_files();
  }
}

}  // namespace
