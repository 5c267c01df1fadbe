#include "texttable/seen_files.h"

#include <unordered_map>

namespace {

std::unordered_map<std::string, seen_file> seen_files;
std::unordered_map<std::string, std::string> accepted_zero_bytes;

// The engine matches table names with ASCII letters in any case, and only
// those: other bytes stay as they are.
std::string key_of(std::string_view table) {
  std::string key(table);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace

seen_file seen_as(std::string_view name, const file_status& status) {
  seen_file seen;
  seen.name = name;
  seen.device = status.device;
  seen.inode = status.inode;
  seen.type = status.type;
  seen.size = status.size;
  return seen;
}

void remember_seen_file(std::string_view table, const seen_file& file) {
  seen_files[key_of(table)] = file;
}

void remember_leftover_table(std::string_view table) {
  seen_file leftover;
  leftover.left_by_earlier_run = true;
  seen_files[key_of(table)] = leftover;
}

const seen_file* find_seen_file(std::string_view table) {
  auto found = seen_files.find(key_of(table));
  return found == seen_files.end() ? nullptr : &found->second;
}

bool typed_table_name(std::string_view held, std::string& typed) {
  typed.clear();
  for (size_t i = 0; i < held.size(); ++i) {
    typed += held[i];
    if (held[i] != '\'') continue;
    if (i + 1 == held.size() || held[i + 1] != '\'') return false;
    ++i;
  }
  return true;
}

void forget_seen_file(std::string_view table) {
  seen_files.erase(key_of(table));
  accepted_zero_bytes.erase(key_of(table));
}

bool changed_since_seen(const seen_file& seen, const seen_file& now) {
  return seen.device != now.device || seen.inode != now.inode || seen.type != now.type ||
         // A file this user may write but not read can't be hashed: then
         // its identity and size are all there is to compare.
         seen.size != now.size || (seen.hashed && now.hashed && seen.hash != now.hash);
}

void accept_zero_byte(std::string_view table, std::string_view row) {
  accepted_zero_bytes[key_of(table)] = row;
}

bool zero_byte_accepted(std::string_view table, std::string_view row) {
  auto found = accepted_zero_bytes.find(key_of(table));
  return found != accepted_zero_bytes.end() && found->second == row;
}
