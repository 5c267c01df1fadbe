#include "texttable/seen_files.h"

#include <string>
#include <unordered_map>

namespace {

std::unordered_map<std::string, seen_file> seen_files;

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

seen_file seen_as(const struct stat& info, bool cut_at_zero) {
  return {info.st_dev, info.st_ino, info.st_size, info.st_mtim, cut_at_zero};
}

void remember_seen_file(std::string_view table, const struct stat& info, bool cut_at_zero) {
  seen_files[key_of(table)] = seen_as(info, cut_at_zero);
}

const seen_file* find_seen_file(std::string_view table) {
  auto found = seen_files.find(key_of(table));
  return found == seen_files.end() ? nullptr : &found->second;
}

void forget_seen_file(std::string_view table) {
  seen_files.erase(key_of(table));
}

bool changed_since_seen(const seen_file& seen, const struct stat& info) {
  return seen.device != info.st_dev || seen.inode != info.st_ino || seen.size != info.st_size ||
         seen.modified.tv_sec != info.st_mtim.tv_sec ||
         seen.modified.tv_nsec != info.st_mtim.tv_nsec;
}
