#include "texttable/second_names.h"

#include <string>
#include <string_view>
#include <vector>

#include "os/os.h"

namespace {

struct known_schema {
  std::string name;
  bool second = false;
};

// A run attaches a handful of databases at most.
std::vector<known_schema> known;

bool same_file_as_main(sqlite3* db, const char* file) {
  const char* main = sqlite3_db_filename(db, "main");
  file_status mine;
  file_status other;
  return main != nullptr && *main != '\0' && file != nullptr && *file != '\0' &&
         os_status_of_name(main, mine) && os_status_of_name(file, other) &&
         mine.device == other.device && mine.inode == other.inode;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The path of a file: URI as the engine reads it: an authority skipped, the
// query and fragment left off, %HH decoded.
std::string uri_path(std::string_view uri) {
  uri.remove_prefix(5);
  if (uri.starts_with("//")) {
    const size_t slash = uri.find('/', 2);
    uri = slash == std::string_view::npos ? std::string_view() : uri.substr(slash);
  }
  uri = uri.substr(0, uri.find_first_of("?#"));
  std::string path;
  for (size_t i = 0; i < uri.size(); ++i) {
    if (uri[i] == '%' && i + 2 < uri.size() && hex_digit(uri[i + 1]) >= 0 &&
        hex_digit(uri[i + 2]) >= 0) {
      path += static_cast<char>(hex_digit(uri[i + 1]) * 16 + hex_digit(uri[i + 2]));
      i += 2;
    } else {
      path += uri[i];
    }
  }
  return path;
}

}  // namespace

bool names_main_file(sqlite3* db, const char* file) {
  if (file == nullptr) return false;
  // Read either way: as a URI where the engine takes one, and as it stands.
  return same_file_as_main(db, file) ||
         (sqlite3_strnicmp(file, "file:", 5) == 0 && same_file_as_main(db, uri_path(file).c_str()));
}

bool is_second_name(sqlite3* db, const char* database) {
  if (database == nullptr || sqlite3_stricmp(database, "main") == 0 ||
      sqlite3_stricmp(database, "temp") == 0) {
    return false;
  }
  for (const known_schema& k : known) {
    if (sqlite3_stricmp(k.name.c_str(), database) == 0) return k.second;
  }
  known.push_back({database, same_file_as_main(db, sqlite3_db_filename(db, database))});
  return known.back().second;
}

void forget_schema_names() {
  known.clear();
}
