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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const std::string saved = round_trip(content);
  // A UTF-16 file is as the loader keeps it once saved: saved again, it
  // comes back byte for byte.
  if (content.starts_with("\xff\xfe") || content.starts_with("\xfe\xff")) {
    if (round_trip(saved) != saved) abort();
  } else if (saved != as_kept(content)) {
    abort();
  }
  return 0;
}
