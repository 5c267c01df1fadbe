// What loading and saving make of a file's text.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

// A file as loading and saving it leaves it: each line cut at a zero byte,
// its trailing CRs gone, and ended by a line feed.
inline std::string as_kept(std::string_view content) {
  std::string kept;
  while (!content.empty()) {
    size_t end = std::min(content.find('\n'), content.size());
    std::string_view line = content.substr(0, end);
    line = line.substr(0, line.find('\0'));
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    kept.append(line) += '\n';
    content.remove_prefix(std::min(end + 1, content.size()));
  }
  return kept;
}

// What a first save of a file that lost text at a zero byte says instead of
// writing; the second save writes.
inline std::string zero_byte_refusal(const std::string& content, const std::string& name) {
  if (content.find('\0') == std::string::npos) return "";
  return "Can't save " + name +
         ": some lines held a zero byte and were cut when loaded; save again to write over it\n";
}
