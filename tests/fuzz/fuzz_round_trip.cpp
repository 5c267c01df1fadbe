// Any file: loaded then saved, it comes back as the loader keeps lines: each
// cut at a zero byte, its trailing CRs and LFs gone, ended by a line feed. A
// file cut at a zero byte is written by the second save, the first refusing.
#include <stdint.h>

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "../kept_text.h"
#include "fuzz_common.h"
#include "texttable/texttable.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quiet_standard_streams();
  enter_fresh_directory("f.txt");
  open_scratch_db();
  return 0;
}

namespace {

std::string round_trip(const std::string& content) {
  std::ofstream("f.txt", std::ios::binary) << content;
  load_text_file("f.txt");
  save_text_table("f.txt");
  save_text_table("f.txt");
  if (!run_statement("drop table `f.txt`")) abort();
  std::ostringstream saved;
  saved << std::ifstream("f.txt", std::ios::binary).rdbuf();
  return saved.str();
}

// Whether a UTF-16 file comes back as it was from its first save: every line
// ends as the first one does, in LF or in one CR and LF, the last line too,
// and no code unit is zero.
bool utf16_comes_back_whole(const std::string& content) {
  if (content.size() % 2 != 0) return false;
  const bool big = content[0] == '\xfe';
  const size_t count = content.size() / 2;
  auto unit = [&](size_t i) {
    const auto high = static_cast<unsigned char>(content[2 * i + (big ? 0 : 1)]);
    const auto low = static_cast<unsigned char>(content[2 * i + (big ? 1 : 0)]);
    return high << 8 | low;
  };
  int crlf = -1;  // not yet known
  for (size_t i = 1; i < count; ++i) {
    if (unit(i) == 0) return false;
    if (unit(i) != '\n') continue;
    const bool cr = i > 1 && unit(i - 1) == '\r';
    if ((cr && i > 2 && unit(i - 2) == '\r') || (crlf >= 0 && crlf != cr)) return false;
    crlf = cr;
  }
  return count == 1 || unit(count - 1) == '\n';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const std::string saved = round_trip(content);
  // A UTF-16 file is as the loader keeps it once saved: saved again, it
  // comes back byte for byte.
  if (content.starts_with("\xff\xfe") || content.starts_with("\xfe\xff")) {
    if (round_trip(saved) != saved) abort();
    if (utf16_comes_back_whole(content) && saved != content) abort();
  } else if (saved != as_kept(content)) {
    abort();
  }
  return 0;
}
