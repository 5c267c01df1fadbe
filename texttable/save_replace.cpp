// A save through a new file: written beside the target, flushed to disk and
// put in its place in one step, so that the name holds the old content or
// the whole new one whatever stops the save. A name that led to no file is
// given the new file only where none is still.
#include "texttable/save_ways.h"

namespace {

// Removes the save's new file, which only it knows.
void drop_temporary(save_target& target, const file_facts& made) {
  if (!target.temporary.empty()) os_files->remove_if_same(target.temporary, made);
  target.temporary.clear();
}

// Closes and removes the save's new file, open as `target.file`: known by
// its name where the handle can't tell which file it is.
void drop_new_file(save_target& target) {
  file_facts made;
  const bool known =
      !target.temporary.empty() && (os_files->facts_of(target.file, made) == os_error::none ||
                                    os_files->look(target.temporary, made) == os_error::none);
  close_file(target.file);
  if (known) drop_temporary(target, made);
  target.temporary.clear();
}

save_result done_with(save_target& target, const file_facts& made) {
  // The new content is in place: a directory that can't be synced only
  // leaves the name less sure to survive a power cut.
  os_files->sync_directory(target.where.path);
  target.left = status_of(made);
  return save_result::done;
}

// Gives the new file the target's name, which led to no file: refused once,
// as any existing file the table holds nothing of, when another program
// made one meanwhile.
save_result place_new(save_target& target, const file_facts& made) {
  const os_error placed = os_files->place(target.temporary, target.where.path);
  if (placed == os_error::none) {
    target.temporary.clear();
    return done_with(target, made);
  }
  drop_temporary(target, made);
  if (placed != os_error::exists) return save_result::cant_write;
  target.found = look_again(target.found.name.c_str(), target.where.path);
  const save_result judged =
      judge_save(target.seen, target.found.name.c_str(), target.found, target.loaded_from);
  return judged == save_result::done ? save_result::changed_on_disk : judged;
}

// After a replacement that failed: the files' identities say where the old
// content is. Put back at the name, unless another file took it meanwhile;
// else kept where it is, and named.
save_result recover(save_target& target, const file_facts& made, const std::string& aside) {
  const std::string& path = target.where.path;
  file_facts at_name;
  const bool named = os_files->look(path, at_name) == os_error::none;
  if (named && same_file(at_name, made)) {
    target.temporary.clear();
    os_files->remove_if_same(aside, target.original);
    return done_with(target, made);
  }
  drop_temporary(target, made);
  if (named && same_file(at_name, target.original)) return save_result::cant_write;
  file_facts at_aside;
  if (os_files->look(aside, at_aside) != os_error::none || !same_file(at_aside, target.original)) {
    return save_result::cant_write;
  }
  if (!named && os_files->place(aside, path) == os_error::none) return save_result::cant_write;
  target.backup = aside;
  return save_result::cant_write_kept_backup;
}

// Whether the name still leads to the file as the save found it: the same
// file, size and time of change, which only the system sets. Where times
// keep whole seconds, a rewrite within the second hides in them: there the
// content is hashed again. `known` is false where the system can't tell.
bool still_as_found(const save_target& target, const file_facts& now, bool& known) {
  const file_facts& then = target.original;
  known = true;
  if (!same_file(now, then) || now.size != then.size || now.changed != then.changed) return false;
  if (now.exact_time) return true;
  os_error looked;
  const seen_file again = look_again(target.found.name.c_str(), target.where.path, &looked);
  known = looked == os_error::none || looked == os_error::not_found;
  return known && !changed_since_seen(target.found, again);
}

}  // namespace

save_result start_new_file(save_target& target) {
  target.mode = save_mode::new_file;
  const std::string& path = target.where.path;
  os_error made;
  if (directory_keeps_names(path)) {
    // A file made there stays under the name it was made with: the new
    // file is made at once under its own.
    made = os_files->create(path, false, target.file);
    if (made == os_error::exists) {
      target.found = look_again(target.found.name.c_str(), path);
      const save_result judged =
          judge_save(target.seen, target.found.name.c_str(), target.found, target.loaded_from);
      return judged == save_result::done ? save_result::changed_on_disk : judged;
    }
  } else {
    made = create_beside(path, "new-", false, target.temporary, target.file);
  }
  if (made != os_error::none) {
    return made == os_error::no_space ? save_result::cant_write : save_result::cant_open;
  }
  if (!reserve_room(target.file, target.size)) {
    drop_new_file(target);
    return save_result::cant_write;
  }
  return save_result::done;
}

save_result start_replacement(save_target& target) {
  target.mode = save_mode::replace;
  const os_error made =
      create_beside(target.where.path, "new-", true, target.temporary, target.file);
  if (made != os_error::none) {
    // A directory that takes no new file may still let the file be written.
    if (made == os_error::denied) return start_in_place(target);
    close_file(target.original_file);
    return made == os_error::no_space ? save_result::cant_write : save_result::cant_open;
  }
  // The new file gets the old one's identity now, so that a file whose
  // identity can't be given is written in place before a byte is written
  // twice.
  const bool identical =
      os_files->give_identity(target.original_file, target.original, target.file);
  if (!identical || !reserve_room(target.file, target.size)) {
    drop_new_file(target);
    if (identical) {
      close_file(target.original_file);
      return save_result::cant_write;
    }
    return start_in_place(target);
  }
  return save_result::done;
}

save_result finish_replacement(save_target& target, bool written) {
  const bool existed = target.mode == save_mode::replace;
  file_facts made;
  written = written &&
            (!existed || os_files->give_mode(target.original_file, target.original, target.file)) &&
            os_files->sync(target.file) == os_error::none &&
            os_files->facts_of(target.file, made) == os_error::none;
  close_file(target.file);
  if (!written) {
    if (os_files->look(target.temporary, made) == os_error::none) drop_temporary(target, made);
    close_file(target.original_file);
    return save_result::cant_write;
  }
  if (!existed) return target.temporary.empty() ? done_with(target, made) : place_new(target, made);
  // A file written to while its replacement was made (a logger's new line)
  // would be lost with it: looked at again just before the replacement. A
  // file removed since is made anew.
  file_facts now;
  const os_error looked = os_files->look(target.where.path, now);
  close_file(target.original_file);
  if (looked == os_error::not_found) return place_new(target, made);
  bool known = looked == os_error::none;
  if (!known || !still_as_found(target, now, known)) {
    drop_temporary(target, made);
    // A look the system can't answer says nothing of another program.
    if (!known) return save_result::cant_write;
    target.found = look_again(target.found.name.c_str(), target.where.path);
    return save_result::changed_on_disk;
  }
  // Where the system moves the old file aside first, it goes under a
  // backup's name: stopped between the two moves, the old content is where
  // the next load tells of it.
  const std::string aside = name_beside(target.where.path, "", nullptr, &target.original);
  if (os_files->replace(target.temporary, target.where.path, aside) != os_error::none) {
    return recover(target, made, aside);
  }
  target.temporary.clear();
  os_files->remove_if_same(aside, target.original);
  return done_with(target, made);
}
