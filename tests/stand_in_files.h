// A system of files held in memory, for the table of os/files.h: a test puts
// it in os_files and can then fail any call a save makes, stop the process
// there as a kill or a power cut would, or let another program write to the
// file first. It behaves as Linux or as Windows where the two differ.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "os/files.h"

enum class stand_in_system : uint8_t {
  linux_like,    // a rename replaces a file at once; a name lasts once its directory is synced
  windows_like,  // replace moves the old file aside first; names last at once
};

enum class fault_kind : uint8_t {
  none,
  fail,       // the call does nothing and fails with `error`
  taken,      // another program makes a file at the name the call makes: exists
  append,     // just before the call, another program appends their_line to `target`
  rewrite,    // just before it, another program writes their_bytes over `target` at `offset`
  stop,       // the process is killed: this call and every later one do nothing and fail
  power_cut,  // as a stop, and what no sync made last is lost
  // Windows' replace alone:
  replace_kept,   // fails with both files under their own names (error 1176)
  replace_aside,  // fails with the old file aside and the new under its own name (1177)
  stop_aside,     // the process is killed between the two moves
};

struct stand_in_fault {
  fault_kind kind = fault_kind::none;
  int64_t at = -1;  // which call, counted from 0
  os_error error = os_error::none;
  std::string target;  // the file another program writes to
  int64_t offset = 0;
  int64_t then_at = -1;  // a later call where the process is killed, or the power cut
  bool then_power_cut = false;
};

inline constexpr std::string_view their_line = "another program's line\n";
inline constexpr std::string_view their_bytes = "##";

// A file or a directory.
struct stand_in_node {
  file_facts facts;
  std::string content;
  std::string synced;                     // what of the content a power cut leaves
  std::map<std::string, uint64_t> names;  // a directory's entries: their nodes' numbers
  std::map<std::string, uint64_t> synced_names;
};

struct stand_in_handle {
  uint64_t node = 0;
  bool reads = false;
  bool writes = false;
  bool open = false;
  int64_t read_to = 0;  // the end of what was read through it
};

struct stand_in_world {
  stand_in_system system = stand_in_system::linux_like;
  std::map<uint64_t, stand_in_node> nodes;  // by number; 1 is ".", 2 is "/tmp", on volume 2
  std::vector<stand_in_handle> handles;     // os_handle is the index
  int64_t clock = 0;
  bool whole_seconds = false;  // times kept to the second: all the run's in one
  uint64_t next_number = 3;
  unsigned letters = 0;
  // The run under test.
  stand_in_fault fault;
  int64_t calls = 0;
  std::vector<std::string_view> log;  // each call's entry of the table
  bool dead = false;
  bool intruded = false;  // another program wrote to `fault.target`
  // ... and the call itself, the save's own write, cut or replacement, then
  // destroyed their bytes (a race no program can see, between its last look
  // and its step), or they went over bytes already read where times keep
  // whole seconds.
  bool raced = false;
  std::vector<std::string> theirs;  // files another program made
};

// The whole state: a test copies it to run a save again from the same start.
extern stand_in_world stand_in;

const os_file_system* stand_in_files();
// Empty "." and "/tmp".
void stand_in_start(stand_in_system system);
// Makes `path` (mode 0644) or writes it over, and syncs it.
void stand_in_put(const std::string& path, std::string_view content);
// Gives the file at `existing` the name `path` too.
bool stand_in_link(const std::string& existing, const std::string& path);
// The node that `path` names, or null.
stand_in_node* stand_in_find(const std::string& path);
// Makes everything last, as after a sync of all.
void stand_in_settle();
// Loses what no sync made last.
void stand_in_power_cut();
// The next run after a stop: alive, with none of the killed run's handles.
void stand_in_revive();
size_t stand_in_open_handles();

// What every file holds, by path.
struct stand_in_file {
  std::string content;
  uint32_t mode = 0;
  uint64_t number = 0;
  bool operator==(const stand_in_file&) const = default;
};
std::map<std::string, stand_in_file> stand_in_listing();
