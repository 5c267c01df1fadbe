#include "texttable/cut_short_saves.h"

#include <algorithm>
#include <string>

#include "os/os.h"
#include "texttable/texttable.h"

bool is_backup_name(std::string_view entry, std::string_view base) {
  constexpr std::string_view suffix = ".plinth-";
  constexpr size_t letters = 6;
  if (entry.size() != 1 + base.size() + suffix.size() + letters || entry[0] != '.' ||
      entry.substr(1, base.size()) != base ||
      entry.substr(1 + base.size(), suffix.size()) != suffix) {
    return false;
  }
  return std::all_of(entry.end() - letters, entry.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  });
}

void report_cut_short_saves(const char* name) {
  for (const std::string& backup : os_cut_short_saves(name)) {
    print_error("%s: a save of it was cut short; its old content is in %s\n", name, backup.c_str());
  }
}
