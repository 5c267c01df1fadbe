#include "texttable/cut_short_saves.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <tuple>
#include <vector>

#include "texttable/texttable.h"

namespace {

constexpr std::string_view suffix = ".plinth-";
constexpr size_t letters = 6;

bool is_letter_or_digit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// "VOLUME-NUMBER-", each in hexadecimal digits.
bool is_identity_tag(std::string_view tag) {
  const auto hex_run = [&tag] {
    const size_t digits = tag.find_first_not_of("0123456789abcdef");
    if (digits == 0 || digits == std::string_view::npos || tag[digits] != '-') return false;
    tag.remove_prefix(digits + 1);
    return true;
  };
  return hex_run() && hex_run() && tag.empty();
}

struct found_backup {
  std::string path;
  int64_t changed;
};

// Adds the backups of the file `base` among the names in `directory`.
void collect(std::string_view directory, std::string_view base, const file_facts* identity,
             bool away, std::vector<found_backup>& found) {
  std::vector<directory_entry> entries;
  if (os_files->list(directory, suffix.substr(1), entries) != os_error::none) return;
  for (const directory_entry& entry : entries) {
    // Not a link, nor another user's file: those are no backup of ours.
    if (entry.facts.type != file_type::regular || !entry.facts.mine ||
        !is_backup_name(entry.name, base, identity, away)) {
      continue;
    }
    std::string path(directory);
    path += entry.name;
    if (std::none_of(found.begin(), found.end(),
                     [&](const found_backup& b) { return b.path == path; })) {
      found.push_back({std::move(path), entry.facts.modified});
    }
  }
}

}  // namespace

std::string identity_tag(const file_facts& identity) {
  char digits[40];
  char* end = std::to_chars(digits, digits + 20, identity.volume, 16).ptr;
  *end++ = '-';
  end = std::to_chars(end, digits + sizeof digits - 1, identity.number, 16).ptr;
  *end++ = '-';
  return std::string(digits, end);
}

bool is_backup_name(std::string_view entry, std::string_view base, const file_facts* identity,
                    bool away) {
  if (entry.size() < 1 + suffix.size() + letters || entry[0] != '.' ||
      !std::all_of(entry.end() - letters, entry.end(), is_letter_or_digit)) {
    return false;
  }
  const std::string_view middle = entry.substr(1, entry.size() - 1 - letters);
  // Known by the file's identity, whatever name it was made beside (another
  // name of the same file), or none where its own left no room.
  if (identity != nullptr) {
    const std::string tagged = std::string(suffix.substr(1)) + identity_tag(*identity);
    if (middle.ends_with(tagged)) {
      const std::string_view made_beside = middle.substr(0, middle.size() - tagged.size());
      if (made_beside.empty() || made_beside.ends_with('.')) return true;
    }
  }
  // Beside the file, one made beside this name: the file may be gone, or
  // another in its place (an older run named them without an identity).
  if (away || middle.size() < base.size() + suffix.size() || !middle.starts_with(base) ||
      middle.substr(base.size(), suffix.size()) != suffix) {
    return false;
  }
  return middle.size() == base.size() + suffix.size() ||
         is_identity_tag(middle.substr(base.size() + suffix.size()));
}

void report_cut_short_saves(const char* name) {
  named_file where;
  if (os_files->resolve(name, where) != os_error::none || where.descriptor >= 0) return;
  const std::string_view prefix = directory_prefix(where.path);
  const std::string_view base = std::string_view(where.path).substr(prefix.size());
  if (base.empty()) return;
  file_facts facts;
  const file_facts* identity =
      os_files->look(where.path, facts) == os_error::none ? &facts : nullptr;
  std::vector<found_backup> found;
  collect(prefix, base, identity, false, found);
  if (identity != nullptr) collect(os_files->temporary_directory(), base, identity, true, found);
  std::sort(found.begin(), found.end(), [](const found_backup& a, const found_backup& b) {
    return std::tie(a.changed, a.path) < std::tie(b.changed, b.path);
  });
  for (const found_backup& backup : found) {
    print_error("%s: a save of it was cut short; its old content is in %s\n", name,
                backup.path.c_str());
  }
}
