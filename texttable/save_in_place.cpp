// A save over the target's own bytes, for a file that a new one can't
// replace without losing something (another name, its place as a mount
// point, an owner this user can't give). Its old content is first copied to
// a backup, flushed and only then named, so that whatever stops the save the
// old content is whole somewhere the next load tells of. Each stretch of the
// file is compared with the old content just before it is written over, and
// the whole is read back at the end: what another program wrote meanwhile is
// kept, and the save refused.
#include <algorithm>
#include <cstring>

#include "texttable/save_ways.h"

namespace {

// One save at a time: the buffers serve them all.
char file_bytes[save_block_size];
char old_bytes[save_block_size];
char new_bytes[save_block_size];

int64_t block_at(size_t block) {
  return static_cast<int64_t>(block) * static_cast<int64_t>(save_block_size);
}

size_t up_to_block(int64_t from, int64_t to) {
  return static_cast<size_t>(std::min<int64_t>(to - from, save_block_size));
}

// Reads exactly `size` bytes at `offset`: false when the file is shorter or
// the read fails.
bool read_exactly(os_handle file, char* buffer, size_t size, int64_t offset) {
  while (size > 0) {
    os_error error;
    const int64_t n = os_files->read_at(file, buffer, size, offset, error);
    if (n <= 0) return false;
    buffer += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

void drop_backup(in_place_backup& kept, bool keep) {
  close_file(kept.file);
  if (!keep && !kept.path.empty()) os_files->remove_if_same(kept.path, kept.facts);
  if (!keep) kept.path.clear();
}

// Copies the first `size` bytes of `from` to the backup, hashing each block
// and the whole.
bool copy_old_content(os_handle from, in_place_backup& kept, int64_t size) {
  content_hash whole;
  if (!start_content_hash(whole)) return false;
  for (int64_t at = 0; at < size; at += static_cast<int64_t>(save_block_size)) {
    const size_t length = up_to_block(at, size);
    if (!read_exactly(from, file_bytes, length, at) ||
        os_files->write_at(kept.file, file_bytes, length, at) != os_error::none) {
      return false;
    }
    kept.block_hashes.push_back(hash_bytes(file_bytes, length));
    add_to_content_hash(whole, file_bytes, length);
  }
  kept.hash = content_hash_value(whole);
  return true;
}

// Copies the target's content to a new file beside it (in the directory for
// temporary files when its own takes no new file, or keeps every name made
// in it), flushes it and names it a backup.
bool make_backup(save_target& target) {
  in_place_backup& kept = target.kept;
  const std::string& path = target.where.path;
  file_facts facts;
  if (os_files->open(path, open_access::read, target.reader) != os_error::none ||
      os_files->facts_of(target.reader, facts) != os_error::none ||
      !same_file(facts, target.original)) {
    return false;
  }
  const std::string elsewhere = os_files->temporary_directory();
  // Its backup goes elsewhere where a name made beside it might stay.
  bool away = directory_keeps_names(path, true);
  std::string part;
  os_error made = away ? os_error::denied : create_beside(path, "part-", true, part, kept.file);
  if (made == os_error::denied) {
    away = true;
    made = create_beside(path, "part-", true, part, kept.file, &elsewhere);
  }
  const bool known =
      made == os_error::none && os_files->facts_of(kept.file, kept.facts) == os_error::none;
  bool copied = known && copy_old_content(target.reader, kept, facts.size) &&
                os_files->sync(kept.file) == os_error::none;
  // Named a backup only now that it holds the whole old content.
  copied = copied && place_beside(part, path, "", kept.path, away ? &elsewhere : nullptr,
                                  &target.original) == os_error::none;
  if (!copied) {
    // Known by its name where its handle could not tell which file it is.
    if (!part.empty() && (known || os_files->look(part, kept.facts) == os_error::none)) {
      os_files->remove_if_same(part, kept.facts);
    }
    drop_backup(kept, false);
    return false;
  }
  os_files->sync_directory(kept.path);
  kept.size = facts.size;
  return true;
}

// Whether the save's own blocks hold what it wrote, and the old content past
// them (about to be cut off) what it held: where they do not, `intruded` is
// set. False also when they can't be read.
bool still_as_written(save_target& target) {
  for (size_t block = 0; block < target.block_hashes.size(); ++block) {
    const size_t length = up_to_block(block_at(block), target.size);
    if (!read_exactly(target.reader, file_bytes, length, block_at(block))) return false;
    target.intruded = hash_bytes(file_bytes, length) != target.block_hashes[block];
    if (target.intruded) return false;
  }
  for (int64_t at = target.size; at < target.kept.size;) {
    const size_t length = up_to_block(at, target.kept.size);
    if (!read_exactly(target.reader, file_bytes, length, at) ||
        !read_exactly(target.kept.file, old_bytes, length, at)) {
      return false;
    }
    target.intruded = memcmp(file_bytes, old_bytes, length) != 0;
    if (target.intruded) return false;
    at += static_cast<int64_t>(length);
  }
  return true;
}

// The old content of the block at `at` (`length` bytes, in old_bytes) with
// what another program wrote there meanwhile: a byte that is neither the
// save's own nor the old one is theirs.
bool merge_block(const save_target& target, int64_t at, size_t length) {
  const size_t block = static_cast<size_t>(at / static_cast<int64_t>(save_block_size));
  const size_t written = up_to_block(at, target.touched);
  if (!read_exactly(target.reader, file_bytes, length, at)) return true;
  if (block < target.block_hashes.size() &&
      hash_bytes(file_bytes, written) == target.block_hashes[block]) {
    return true;
  }
  if (!target.text_at || !target.text_at(at, written, new_bytes)) return true;
  for (size_t i = 0; i < length; ++i) {
    if (i >= written || file_bytes[i] != new_bytes[i]) old_bytes[i] = file_bytes[i];
  }
  return true;
}

// Writes the old content back where the save wrote, keeping what another
// program wrote there, followed by what it appended past the save's own
// bytes (from `end` to `size`); then flushes it.
bool put_back(const save_target& target, int64_t end, int64_t size) {
  const in_place_backup& kept = target.kept;
  const int64_t reached = std::min(target.touched, kept.size);
  for (int64_t at = 0; at < reached;) {
    const size_t length = up_to_block(at, reached);
    if (!read_exactly(kept.file, old_bytes, length, at) || !merge_block(target, at, length) ||
        os_files->write_at(target.file, old_bytes, length, at) != os_error::none) {
      return false;
    }
    at += static_cast<int64_t>(length);
  }
  if (size <= end) {
    return os_files->set_length(target.file, kept.size) == os_error::none &&
           os_files->sync(target.file) == os_error::none;
  }
  // Moved down onto the end of the old content, a block at a time: each is
  // read before anything after it is written over.
  int64_t moved = 0;
  for (int64_t from = end; from < size;) {
    const size_t length = up_to_block(from, size);
    if (kept.size + moved != from && (!read_exactly(target.reader, file_bytes, length, from) ||
                                      os_files->write_at(target.file, file_bytes, length,
                                                         kept.size + moved) != os_error::none)) {
      return false;
    }
    from += static_cast<int64_t>(length);
    moved += static_cast<int64_t>(length);
  }
  return os_files->set_length(target.file, kept.size + moved) == os_error::none &&
         os_files->sync(target.file) == os_error::none;
}

}  // namespace

save_result start_in_place(save_target& target) {
  target.mode = save_mode::in_place;
  target.file = target.original_file;
  target.original_file = no_file;
  file_facts now;
  save_result result = save_result::done;
  // Its size is looked at last, just before it is lengthened: a line
  // appended before that is seen, not cut.
  if (!make_backup(target) || !reserve_room(target.file, target.size) ||
      os_files->facts_of(target.file, now) != os_error::none) {
    result = save_result::cant_write;
  } else if (now.size != target.kept.size ||
             (target.found.hashed && target.kept.hash != target.found.hash)) {
    // Written to since it was compared, or while it was copied: nothing is
    // written.
    target.found = look_again(target.found.name.c_str(), target.where.path);
    result = save_result::changed_on_disk;
  } else if (target.size > now.size &&
             os_files->set_length(target.file, target.size) != os_error::none) {
    // Made as long as the new content first, so that what another program
    // appends from here on lands past the save's own bytes, to be kept.
    result = save_result::cant_write;
  }
  if (result != save_result::done) {
    drop_backup(target.kept, false);
    close_file(target.reader);
    close_file(target.file);
  }
  return result;
}

bool still_old_where_written(save_target& target) {
  const in_place_backup& kept = target.kept;
  const int64_t at = target.offset;
  const size_t block = static_cast<size_t>(at / static_cast<int64_t>(save_block_size));
  const size_t old_length = at < kept.size ? up_to_block(at, kept.size) : 0;
  const size_t length = std::max(old_length, target.used);
  if (!read_exactly(target.reader, file_bytes, length, at)) {
    // Cut short by another program; a read that fails says nothing of one.
    file_facts now;
    target.intruded = os_files->facts_of(target.reader, now) == os_error::none &&
                      now.size < at + static_cast<int64_t>(length);
    return false;
  }
  // Past the old content, the zeros it was lengthened with.
  target.intruded =
      (old_length > 0 && (block >= kept.block_hashes.size() ||
                          hash_bytes(file_bytes, old_length) != kept.block_hashes[block])) ||
      !std::all_of(file_bytes + old_length, file_bytes + length, [](char c) { return c == 0; });
  return !target.intruded;
}

save_result finish_in_place(save_target& target, bool written) {
  const int64_t end = std::max(target.kept.size, target.size);
  file_facts now;
  file_facts named;
  // Its size is looked at last, just before it is cut to the new content's
  // length: a line appended before that is seen, not cut. A look the system
  // can't answer fails the save; it says nothing of another program.
  const bool as_written = written && still_as_written(target);
  const bool named_known = os_files->look(target.where.path, named) == os_error::none;
  const bool looked = os_files->facts_of(target.file, now) == os_error::none;
  // Another program wrote to it (it ends past the save's own bytes and the
  // old content) or its name now leads elsewhere.
  const bool changed = looked && (now.size != end || (named_known && !same_file(named, now)));
  bool done = as_written && named_known && looked && !changed && !target.intruded;
  // Once cut, the old content's tail is the save's to put back too.
  if (done) target.touched = std::max(target.touched, target.kept.size);
  done = done && os_files->set_length(target.file, target.size) == os_error::none;
  // Writing may have taken away what the permissions held (a set-ID bit):
  // given back where the system lets it be.
  if (done) os_files->give_mode(target.file, target.original, target.file);
  done = done && os_files->sync(target.file) == os_error::none &&
         os_files->facts_of(target.file, now) == os_error::none;
  const bool restored = done || put_back(target, end, looked ? now.size : end);
  close_file(target.reader);
  close_file(target.file);
  if (!restored) target.backup = target.kept.path;
  drop_backup(target.kept, !restored);
  if (done) {
    target.left = status_of(now);
    return save_result::done;
  }
  if (!restored) return save_result::cant_write_kept_backup;
  if (!target.intruded && (!written || !changed)) return save_result::cant_write;
  target.found = look_again(target.found.name.c_str(), target.where.path);
  return save_result::changed_on_disk;
}
