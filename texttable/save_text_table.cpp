#include <cstdio>
#include <cstring>
#include <string>

#include "os/os.h"
#include "os/save_target.h"
#include "shell/shell.h"
#include "texttable/content_hash.h"
#include "texttable/saved_text.h"
#include "texttable/texttable.h"
#include "texttable/unsaved_edits.h"

namespace {

// Stops at the first failed write: writing on would only fail again, or, at
// a terminal whose Ctrl-C broke off a write, leave a gap in the text. Adds
// what it writes to `hash`.
bool write_rows(FILE* file, const table_rows& t, const text_form& form, content_hash& hash) {
  return lay_out(t, form, [&](const char* text, size_t length) {
    add_to_content_hash(hash, text, length);
    return write_unlocked(text, length, file) == length;
  });
}

// Why a save was refused once, as the user is told.
std::string refusal(save_result refused, const std::string& loaded_from) {
  switch (refused) {
    case save_result::cut_at_zero:
      return "some lines held a zero byte and were cut when loaded";
    case save_result::not_loaded:
      return "the file exists and was not loaded";
    case save_result::left_by_earlier_run:
      return "its table was left by an earlier run";
    case save_result::loaded_elsewhere:
      return "its table was loaded from " + loaded_from;
    default:
      return "it changed on disk since it was loaded";
  }
}

}  // namespace

void save_text_table(const char* name) {
  table_rows t;
  std::string error;
  if (!read_table_rows(name, t, error)) {
    print_error("SQL error: %s\n", error.c_str());
    return;
  }
  const seen_file* seen = find_seen_file(name);
  const text_form form = seen != nullptr ? seen->form : text_form{};
  const int64_t size = laid_out_size(t, form);
  const std::string zero_byte = zero_byte_row(t);
  const bool zero_byte_refused = !zero_byte.empty() && !zero_byte_accepted(name, zero_byte);
  content_hash hash;
  if (!start_content_hash(hash)) {
    run_statement(nullptr);
    return;
  }

  // A file is written with the signals that end the run held: an interrupt
  // that removed the scratch database halfway would leave the rows nowhere
  // but in a temporary file. A device or FIFO is written with them let
  // through, so a reader that stops reading can't keep the run from ending;
  // only a reader that goes away is no reason to end it.
  hold_interrupts(true);
  save_target target;
  save_result saved =
      open_save_target(name, size, seen, zero_byte_refused ? zero_byte.c_str() : nullptr, target);
  const bool stream = saved == save_result::done && target.mode == save_mode::stream;
  if (stream) {
    hold_interrupts(false);
    hold_broken_pipe(true);
    // Written through standard output's own descriptor, perhaps: what is
    // printed before must come first.
    os_flush_out();
  }
  if (saved == save_result::done) {
    bool written = write_rows(target.file, t, form, hash);
    saved = close_save_target(target, written);
  }
  if (stream) hold_broken_pipe(false);
  hold_interrupts(false);
  switch (saved) {
    case save_result::done:
      note_table_saved(name, target.mode != save_mode::stream);
      if (target.mode != save_mode::stream) {
        seen_file written = seen_as(name, target.left);
        written.hash = content_hash_value(hash);
        written.hashed = true;
        written.form = form;
        remember_seen_file(name, written);
      }
      break;
    case save_result::cant_open:
      print_error("Can't open %s\n", name);
      break;
    case save_result::cant_write:
      print_error("Can't write %s\n", name);
      break;
    case save_result::cant_write_kept_backup:
      print_error("Can't write %s: its old content is in %s\n", name, target.backup.c_str());
      break;
    // Refused once: the next save writes, unless the file changes again.
    case save_result::changed_on_disk:
    case save_result::cut_at_zero:
    case save_result::not_loaded:
    case save_result::left_by_earlier_run:
    case save_result::loaded_elsewhere:
      target.found.form = form;
      remember_seen_file(name, target.found);
      print_error("Can't save %s: %s; save again to write over it\n", name,
                  refusal(saved, target.loaded_from).c_str());
      break;
    case save_result::zero_byte:
      accept_zero_byte(name, zero_byte);
      print_error(
          "Can't save %s: row %s holds a zero byte, and what follows it would be lost; "
          "save again to write over it\n",
          name, zero_byte.c_str());
      break;
  }
}
