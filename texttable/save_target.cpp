// Where a save writes: what the name leads to, whether it may be written
// over, and which way. The ways themselves are in save_replace.cpp and
// save_in_place.cpp.
#include "texttable/save_target.h"

#include <cstring>

#include "os/scratch_names.h"
#include "texttable/save_ways.h"

namespace {

// One save at a time: one buffer serves them all.
char write_buffer[save_block_size];

// The engine keeps the tables in these files of the current directory:
// writing text over them, or making one where it is absent, would lose them.
bool is_scratch_file(const std::string& path) {
  const std::string_view prefix = directory_prefix(path);
  const std::string_view base = std::string_view(path).substr(prefix.size());
  const std::string_view name = scratch_db_name;
  if (base.size() < name.size() || !names_match(base.substr(0, name.size()), name)) return false;
  const std::string_view side = base.substr(name.size());
  if (!side.empty() && !names_match(side, "-journal") && !names_match(side, "-wal") &&
      !names_match(side, "-shm")) {
    return false;
  }
  file_facts directory;
  file_facts current;
  return prefix.empty() || os_files->look(directory_of(path), directory) != os_error::none ||
         os_files->look(".", current) != os_error::none || same_file(directory, current);
}

// Whether `facts` is a file of the scratch database, by whatever name or
// link it was reached.
bool is_scratch_database(const file_facts& facts) {
  for (const char* name :
       {scratch_db_name, scratch_journal_name, scratch_wal_name, scratch_shm_name}) {
    file_facts other;
    if (os_files->look(name, other) == os_error::none && same_file(facts, other)) return true;
  }
  return false;
}

save_result judged_or_zero_byte(const seen_file* seen, const char* name, save_target& target,
                                const char* zero_byte_row) {
  const save_result judged = judge_save(seen, name, target.found, target.loaded_from);
  if (judged == save_result::done && zero_byte_row != nullptr) return save_result::zero_byte;
  return judged;
}

// A FIFO, a device or a socket, written as it is.
save_result open_stream(const char* name, const seen_file* seen, const file_facts& facts,
                        const char* zero_byte_row, save_target& target) {
  target.found = seen_as(name, status_of(facts));
  const save_result judged = judged_or_zero_byte(seen, name, target, zero_byte_row);
  if (judged != save_result::done) return judged;
  target.mode = save_mode::stream;
  const os_error opened = os_files->open(target.where.path, open_access::write_only, target.file);
  return opened == os_error::none ? save_result::done : save_result::cant_open;
}

// A name such as /dev/stdout: written through the descriptor, where its
// output has got to.
save_result open_descriptor(const char* name, const seen_file* seen, const char* zero_byte_row,
                            save_target& target) {
  file_facts facts;
  if (os_files->open(target.where.path, open_access::descriptor, target.file) != os_error::none) {
    return save_result::cant_open;
  }
  save_result result = save_result::done;
  if (os_files->facts_of(target.file, facts) != os_error::none || is_scratch_database(facts)) {
    result = save_result::cant_open;
  } else if (seen != nullptr) {
    // A loaded file's name that now leads to a descriptor's file: the lines
    // would go to whatever that descriptor is. Standard output redirected to
    // a file grows with the run's own output: its size says nothing.
    target.found = seen_as(name, status_of(facts));
    target.found.size = 0;
    result = judged_or_zero_byte(seen, name, target, zero_byte_row);
  } else if (zero_byte_row != nullptr) {
    result = save_result::zero_byte;
  }
  target.mode = save_mode::stream;
  if (result != save_result::done) close_file(target.file);
  return result;
}

// What the regular file open as `file` holds, hashed when it can be read.
// `read_error` is set when the file could not be read to its end: a file
// this user may write but not read has only its identity and size to be
// compared by, a file that fails while it is read can't be compared at all.
seen_file hashed(const char* name, const std::string& path, const file_facts& facts,
                 os_error& read_error) {
  seen_file found = seen_as(name, status_of(facts));
  os_handle reader = no_file;
  file_facts opened;
  read_error = os_files->open(path, open_access::read, reader);
  if (read_error == os_error::denied) {
    read_error = os_error::none;
  } else if (read_error == os_error::none) {
    found.hashed = os_files->facts_of(reader, opened) == os_error::none &&
                   same_file(opened, facts) && hash_file(reader, found.hash, found.size);
    if (!found.hashed) read_error = os_error::io;
  }
  close_file(reader);
  return found;
}

// A regular file: opened for writing, compared, then replaced or written in
// place.
save_result open_regular(const char* name, const seen_file* seen, const char* zero_byte_row,
                         save_target& target) {
  const std::string& path = target.where.path;
  const os_error opened = os_files->open(path, open_access::write, target.original_file);
  // Removed since it was looked at: made anew, like any new file.
  if (opened == os_error::not_found) return open_new(target, zero_byte_row);
  if (opened != os_error::none) return save_result::cant_open;
  file_facts& facts = target.original;
  file_facts named;
  // The system and we must have followed the name to the same file.
  if (os_files->facts_of(target.original_file, facts) != os_error::none ||
      facts.type != file_type::regular || os_files->look(path, named) != os_error::none ||
      !same_file(named, facts) || named.planted) {
    close_file(target.original_file);
    return save_result::cant_open;
  }
  os_error read_error;
  target.found = hashed(name, path, facts, read_error);
  if (read_error != os_error::none) {
    close_file(target.original_file);
    return save_result::cant_open;
  }
  const save_result judged = judged_or_zero_byte(seen, name, target, zero_byte_row);
  if (judged != save_result::done) {
    close_file(target.original_file);
    return judged;
  }
  // A new file would lose the file's other names, the link its name is,
  // and what else makes it the file it is to the system; in a directory
  // that keeps every name (or may: the system can't tell), its own name
  // would stay there for good.
  if (facts.links > 1 || facts.fixed_in_place || named.fixed_in_place || named.replace_forbidden ||
      directory_keeps_names(path, true)) {
    return start_in_place(target);
  }
  return start_replacement(target);
}

}  // namespace

save_result judge_save(const seen_file* seen, const char* name, const seen_file& found,
                       std::string& loaded_from) {
  const bool regular = found.type == file_type::regular;
  if (seen == nullptr) return regular ? save_result::not_loaded : save_result::done;
  if (seen->left_by_earlier_run) {
    return regular ? save_result::left_by_earlier_run : save_result::done;
  }
  if (seen->name != name && (seen->device != found.device || seen->inode != found.inode)) {
    loaded_from = seen->name;
    return save_result::loaded_elsewhere;
  }
  if (changed_since_seen(*seen, found)) return save_result::changed_on_disk;
  return seen->cut_at_zero ? save_result::cut_at_zero : save_result::done;
}

seen_file look_again(const char* name, const std::string& path, os_error* looked) {
  seen_file found;
  found.name = name;
  found.type = file_type::none;
  file_facts facts;
  const os_error error = os_files->look(path, facts);
  if (looked != nullptr) *looked = error;
  if (error != os_error::none) return found;
  if (facts.type != file_type::regular) return seen_as(name, status_of(facts));
  os_error read_error;
  found = hashed(name, path, facts, read_error);
  if (looked != nullptr) *looked = read_error;
  return found;
}

save_result open_save_target(const char* name, int64_t size, const seen_file* seen,
                             const char* zero_byte_row, save_target& target) {
  target = save_target();
  target.buffer = write_buffer;
  target.size = size;
  target.seen = seen;
  target.found.name = name;
  target.found.type = file_type::none;
  if (os_files->resolve(name, target.where) != os_error::none) return save_result::cant_open;
  if (target.where.descriptor >= 0) return open_descriptor(name, seen, zero_byte_row, target);
  const std::string& path = target.where.path;
  file_facts facts;
  // Looked at before it is opened: opening a FIFO wakes its reader.
  const os_error looked = os_files->look(path, facts);
  if (looked == os_error::not_found) return open_new(target, zero_byte_row);
  if (looked != os_error::none || facts.planted || facts.type == file_type::directory) {
    return save_result::cant_open;
  }
  // A regular file's name that now leads to a FIFO or device: the table's
  // lines would go to another program, or nowhere.
  if (facts.type != file_type::regular) {
    return open_stream(name, seen, facts, zero_byte_row, target);
  }
  if (is_scratch_file(path) || is_scratch_database(facts)) return save_result::cant_open;
  return open_regular(name, seen, zero_byte_row, target);
}

save_result open_new(save_target& target, const char* zero_byte_row) {
  const std::string& path = target.where.path;
  if (directory_prefix(path).size() == path.size() || is_scratch_file(path)) {
    return save_result::cant_open;
  }
  if (zero_byte_row != nullptr) return save_result::zero_byte;
  return start_new_file(target);
}

bool write_save_target(save_target& target, const char* bytes, size_t length) {
  while (length > 0 && !target.failed) {
    const size_t room = save_block_size - target.used;
    const size_t taken = length < room ? length : room;
    memcpy(target.buffer + target.used, bytes, taken);
    target.used += taken;
    bytes += taken;
    length -= taken;
    if (target.used == save_block_size) flush_save_buffer(target);
  }
  return !target.failed;
}

save_result close_save_target(save_target& target, bool written) {
  written = flush_save_buffer(target) && written;
  switch (target.mode) {
    case save_mode::in_place:
      return finish_in_place(target, written);
    case save_mode::replace:
    case save_mode::new_file:
      return finish_replacement(target, written);
    case save_mode::stream:
      break;
  }
  close_file(target.file);
  return written ? save_result::done : save_result::cant_write;
}
