// What the ways of a save share: the names of its own files, reading and
// hashing, and the buffer its text goes through.
#include "texttable/cut_short_saves.h"
#include "texttable/save_ways.h"

namespace {

constexpr size_t name_letters = 6;
// Names are tried until a free one turns up: a taken one is a run of bad
// luck or another program at work, not a reason to give up at once.
constexpr int names_tried = 100;

template <typename make_function>
os_error make_named(const std::string& path, std::string_view kind, std::string& made,
                    const std::string* directory, const file_facts* identity, make_function make) {
  bool short_form = false;
  os_error error = os_error::other;
  for (int tried = 0; tried < names_tried; ++tried) {
    made = name_beside(path, kind, directory, identity, short_form);
    error = make(made);
    if (error == os_error::too_long && !short_form) {
      short_form = true;
    } else if (error != os_error::exists) {
      break;
    }
  }
  if (error != os_error::none) made.clear();
  return error;
}

}  // namespace

std::string name_beside(const std::string& path, std::string_view kind,
                        const std::string* directory, const file_facts* identity, bool short_form) {
  const std::string_view prefix = directory_prefix(path);
  std::string name = directory != nullptr ? *directory : std::string(prefix);
  name += '.';
  if (!short_form) {
    name += std::string_view(path).substr(prefix.size());
    name += '.';
  }
  name += "plinth-";
  name += kind;
  // Known by the file's identity wherever it is and whatever the name it
  // was made beside: the file may be loaded by another of its names.
  if (identity != nullptr) {
    name += identity_tag(*identity);
  }
  char letters[name_letters];
  os_files->random_letters(letters, sizeof letters);
  name.append(letters, sizeof letters);
  return name;
}

os_error create_beside(const std::string& path, std::string_view kind, bool private_file,
                       std::string& created, os_handle& file, const std::string* directory,
                       const file_facts* identity) {
  return make_named(path, kind, created, directory, identity, [&](const std::string& name) {
    return os_files->create(name, private_file, file);
  });
}

os_error place_beside(const std::string& from, const std::string& path, std::string_view kind,
                      std::string& placed, const std::string* directory,
                      const file_facts* identity) {
  return make_named(path, kind, placed, directory, identity,
                    [&](const std::string& name) { return os_files->place(from, name); });
}

bool directory_keeps_names(const std::string& path, bool unknown) {
  file_facts directory;
  if (os_files->look(directory_of(path), directory) != os_error::none) return unknown;
  return directory.keeps_names;
}

bool hash_file(os_handle file, uint64_t& hash, int64_t& size) {
  const auto read_at = [](void* source, void* buffer, size_t length, int64_t offset) {
    os_error error;
    return os_files->read_at(*static_cast<os_handle*>(source), buffer, length, offset, error);
  };
  return hash_content(read_at, &file, hash, size);
}

file_status status_of(const file_facts& facts) {
  file_status status;
  status.device = facts.volume;
  status.inode = facts.number;
  status.type = facts.type;
  status.size = facts.size;
  return status;
}

bool reserve_room(os_handle file, int64_t size) {
  return os_files->reserve(file, size) != os_error::no_space;
}

void close_file(os_handle& file) {
  if (file != no_file) os_files->close(file);
  file = no_file;
}

bool flush_save_buffer(save_target& target) {
  if (target.used == 0 || target.failed) return !target.failed;
  if (target.hash != nullptr) add_to_content_hash(*target.hash, target.buffer, target.used);
  os_error written;
  if (target.mode == save_mode::stream) {
    written = os_files->write(target.file, target.buffer, target.used);
  } else if (target.mode == save_mode::in_place && !still_old_where_written(target)) {
    // Another program's bytes are not written over: the save stops here.
    written = os_error::other;
  } else {
    target.touched = target.offset + static_cast<int64_t>(target.used);
    written = os_files->write_at(target.file, target.buffer, target.used, target.offset);
    if (target.mode == save_mode::in_place && written == os_error::none) {
      target.block_hashes.push_back(hash_bytes(target.buffer, target.used));
    }
  }
  target.failed = written != os_error::none;
  if (!target.failed) target.offset += static_cast<int64_t>(target.used);
  target.used = 0;
  return !target.failed;
}
