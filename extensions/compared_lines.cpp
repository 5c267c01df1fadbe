#include "extensions/compared_lines.h"

#include <xxhash.h>

#include <cstring>
#include <new>

#include "os/files.h"
#include "os/os.h"
#include "texttable/saved_text.h"
#include "texttable/texttable.h"

using std::string;
using std::string_view;

namespace {

constexpr size_t block_size = 1 << 16;

// read_text reads through a function of the descriptor alone: the place it
// reads from is set here before each call, and taken back after it.
int64_t read_offset = 0;

int64_t read_at_offset(int fd, void* buffer, size_t size) {
  const int64_t n = os_read_at(fd, buffer, size, read_offset);
  if (n > 0) read_offset += n;
  return n;
}

// Why the file a save writes is not read when it is of type `type`, or null
// when it is read.
const char* not_read(file_type type) {
  switch (type) {
    case file_type::regular:
      return nullptr;
    case file_type::fifo:
      return "is a FIFO, which save writes to without reading it";
    case file_type::device:
      return "is a device, which save writes to without reading it";
    case file_type::directory:
      return "is a directory, which save can't write";
    default:
      return "is not a regular file, which save can't write";
  }
}

}  // namespace

uint64_t line_hash(string_view line, bool complete) {
  return XXH3_64bits_withSeed(line.data(), line.size(), complete ? 0 : 1);
}

// The file a save of `name` writes, found as the save finds it: its links
// followed (not one another user left in a shared directory), a name of
// one of the process's descriptors written without being read.
bool open_saved_file(const char* name, int& fd, string& error) {
  fd = -1;
  named_file where;
  file_facts facts;
  if (os_files->resolve(name, where) != os_error::none) {
    error = string("Can't open ") + name;
    return false;
  }
  if (where.descriptor >= 0) {
    error = string("changes: ") + name +
            " stands for a descriptor of plinth's own, which save writes to without reading it";
    return false;
  }
  const os_error looked = os_files->look(where.path, facts);
  if (looked == os_error::not_found) return true;
  if (looked != os_error::none || facts.planted) {
    error = string("Can't open ") + name;
    return false;
  }
  if (const char* why = not_read(facts.type)) {
    error = string("changes: ") + name + " " + why;
    return false;
  }
  file_status status;
  fd = os_open_to_read(where.path.c_str(), status);
  if (fd >= 0 && status.type == file_type::regular) return true;
  if (fd >= 0) os_close(fd);
  fd = -1;
  error = string("changes: can't read ") + name;
  return false;
}

bool start_file_lines(file_lines& r) {
  r.offset = 0;
  r.in = text_input{};
  r.begin = r.end = 0;
  r.at_end = r.fd < 0;
  r.number = 0;
  if (!r.block) r.block.reset(new (std::nothrow) char[block_size]);
  return r.block != nullptr && (r.hash.state != nullptr || start_content_hash(r.hash));
}

namespace {

read_result refill(file_lines& r) {
  read_offset = r.offset;
  const int64_t n = read_text(r.in, r.fd, r.block.get(), block_size, r.hash, read_at_offset);
  r.offset = read_offset;
  if (n == text_no_memory) return read_result::no_memory;
  if (n < 0) return read_result::failed;
  r.begin = 0;
  r.end = static_cast<size_t>(n);
  r.at_end = n == 0;
  return read_result::line;
}

}  // namespace

read_result next_file_line(file_lines& r, string_view& line, bool& complete) {
  bool gathering = false;
  for (;;) {
    if (r.begin == r.end) {
      if (!r.at_end) {
        const read_result refilled = refill(r);
        if (refilled != read_result::line) return refilled;
        continue;
      }
      if (!gathering) return read_result::end;
      line = r.gathered;
      complete = false;
      ++r.number;
      return read_result::line;
    }
    const char* at = r.block.get() + r.begin;
    const size_t available = r.end - r.begin;
    const auto* feed = static_cast<const char*>(memchr(at, '\n', available));
    if (feed == nullptr) {
      if (!gathering) r.gathered.clear();
      gathering = true;
      r.gathered.append(at, available);
      r.begin = r.end;
      continue;
    }
    const size_t length = static_cast<size_t>(feed - at);
    r.begin += length + 1;
    if (gathering) {
      line = r.gathered.append(at, length);
    } else {
      line = string_view(at, length);
    }
    complete = true;
    ++r.number;
    return read_result::line;
  }
}

bool start_table_lines(sqlite3* db, const string& name, table_lines& t, string& error) {
  sqlite3_finalize(t.rows);
  t.rows = nullptr;
  engine_string query = own(sqlite3_mprintf("select * from `%q`", double_backticks(name).c_str()));
  const int prepared =
      query == nullptr ? SQLITE_NOMEM : sqlite3_prepare_v2(db, query.get(), -1, &t.rows, nullptr);
  if (prepared != SQLITE_OK) {
    error = prepared == SQLITE_NOMEM ? sqlite3_errstr(SQLITE_NOMEM) : sqlite3_errmsg(db);
    return false;
  }
  const int columns = sqlite3_column_count(t.rows);
  const char* first = columns > 0 ? sqlite3_column_name(t.rows, 0) : "";
  t.skip_row = first != nullptr && strcmp(first, "row") == 0;
  t.values.assign(static_cast<size_t>(columns), nullptr);
  restart_table_lines(t);
  return true;
}

void restart_table_lines(table_lines& t) {
  sqlite3_reset(t.rows);
  t.text.clear();
  t.begin = 0;
  t.number = 0;
}

int next_table_line(table_lines& t, string_view& line) {
  while (t.begin >= t.text.size()) {
    const int stepped = sqlite3_step(t.rows);
    if (stepped != SQLITE_ROW) return stepped;
    for (size_t c = t.skip_row ? 1 : 0; c < t.values.size(); ++c) {
      const int column = static_cast<int>(c);
      t.values[c] = reinterpret_cast<const char*>(sqlite3_column_text(t.rows, column));
      if (t.values[c] == nullptr && sqlite3_column_type(t.rows, column) != SQLITE_NULL) {
        return SQLITE_NOMEM;
      }
    }
    t.text.clear();
    auto append = [&](const char* text, size_t length) {
      t.text.append(text, length);
      return true;
    };
    // A UTF-16 file's values are written as they are; a UTF-8 file's in the
    // system's text mode, as the save writes them.
    auto in_text_mode = [&](const char* text, size_t length) {
      return t.utf16 ? append(text, length) : emit_in_text_mode(text, length, append);
    };
    lay_out_values(t.values.data(), static_cast<int>(t.values.size()), t.skip_row, in_text_mode);
    t.text.append(t.line_end);
    t.begin = 0;
  }
  const size_t feed = t.text.find('\n', t.begin);
  line = string_view(t.text).substr(t.begin, feed - t.begin);
  t.begin = feed + 1;
  ++t.number;
  return SQLITE_ROW;
}
