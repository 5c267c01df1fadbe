// Names that Windows would take for another file than the one they name.
#include <array>

#include "os/win/system.h"

namespace {

// A device's name, whatever its letter case: "NUL", "COM1", "LPT²".
bool is_device_name(std::string_view stem) {
  for (std::string_view device : {"con", "prn", "aux", "nul"}) {
    if (equal_ignoring_case(stem, device)) return true;
  }
  if (stem.size() < 4 || (!equal_ignoring_case(stem.substr(0, 3), "com") &&
                          !equal_ignoring_case(stem.substr(0, 3), "lpt"))) {
    return false;
  }
  const std::string_view number = stem.substr(3);
  static constexpr std::array<std::string_view, 3> superscripts = {"\xc2\xb9", "\xc2\xb2",
                                                                   "\xc2\xb3"};
  return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') ||
         number == superscripts[0] || number == superscripts[1] || number == superscripts[2];
}

// Whether the system reads `part`, one step of a path, as another: a device
// with an extension or spaces after its name (the device itself, on
// systems before Windows 11), or a name with a final dot or space (dropped).
bool part_read_otherwise(std::string_view part) {
  if (part.empty() || part == "." || part == "..") return false;
  if (part.back() == '.' || part.back() == ' ') return true;
  std::string_view stem = part.substr(0, part.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  return stem.size() != part.size() && is_device_name(stem);
}

}  // namespace

bool names_another_file(std::string_view path) {
  // "\\?\" and "\\.\" name what follows them as it is.
  if (path.size() >= 4 && (path[0] == '\\' || path[0] == '/') &&
      (path[1] == '\\' || path[1] == '/') && (path[2] == '?' || path[2] == '.') &&
      (path[3] == '\\' || path[3] == '/')) {
    path.remove_prefix(4);
  }
  // A colon anywhere but after a drive's letter names a stream of a file.
  const bool drive = path.size() >= 2 && path[1] == ':' &&
                     ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'));
  if (drive) path.remove_prefix(2);
  if (path.find(':') != std::string_view::npos) return true;
  while (!path.empty()) {
    const size_t end = path.find_first_of("/\\");
    if (part_read_otherwise(path.substr(0, end))) return true;
    if (end == std::string_view::npos) break;
    path.remove_prefix(end + 1);
  }
  return false;
}
