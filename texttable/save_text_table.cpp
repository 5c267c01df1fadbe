#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "os/os.h"
#include "shell/shell.h"
#include "texttable/content_hash.h"
#include "texttable/save_target.h"
#include "texttable/saved_text.h"
#include "texttable/texttable.h"
#include "texttable/unsaved_edits.h"

namespace {

// Stops at the first failed write: writing on would only fail again, or, at
// a terminal whose Ctrl-C broke off a write, leave a gap in the text.
bool write_rows(save_target& target, const table_rows& t, const text_form& form) {
  return lay_out(t, form, [&](const char* text, size_t length) {
    return write_save_target(target, text, length);
  });
}

// The `size` bytes of the text from `offset` on, laid out again: only for
// a stretch of a save in place that another program wrote to meanwhile.
bool text_at(const table_rows& t, const text_form& form, int64_t offset, size_t size, char* out) {
  int64_t at = 0;
  const int64_t end = offset + static_cast<int64_t>(size);
  lay_out(t, form, [&](const char* text, size_t length) {
    const int64_t next = at + static_cast<int64_t>(length);
    const int64_t from = std::max(at, offset);
    const int64_t to = std::min(next, end);
    if (from < to)
      memcpy(out + (from - offset), text + (from - at), static_cast<size_t>(to - from));
    at = next;
    return at < end;
  });
  return at >= end;
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

// Says what became of the save, and remembers what the file holds now.
void report_save(const char* name, const std::string& record, save_result saved,
                 save_target& target, const text_form& form, uint64_t hash,
                 const std::string& zero_byte) {
  switch (saved) {
    case save_result::done:
      // Only the main database's tables are watched for unsaved edits.
      if (record == name) note_table_saved(name, target.mode != save_mode::stream);
      if (target.mode != save_mode::stream) {
        seen_file written = seen_as(name, target.left);
        written.hash = hash;
        written.hashed = true;
        written.form = form;
        remember_seen_file(record, written);
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
      remember_seen_file(record, target.found);
      print_error("Can't save %s: %s; save again to write over it\n", name,
                  refusal(saved, target.loaded_from).c_str());
      break;
    case save_result::zero_byte:
      accept_zero_byte(record, zero_byte);
      print_error(
          "Can't save %s: row %s holds a zero byte, and what follows it would be lost; "
          "save again to write over it\n",
          name, zero_byte.c_str());
      break;
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
  const std::string record = record_of_table(scratch_db, name);
  const seen_file* seen = find_seen_file(record);
  const text_form form = seen != nullptr ? seen->form : text_form{};
  const int64_t size = laid_out_size(t, form);
  const std::string& zero_byte = t.zero_byte_row;
  const bool zero_byte_refused = !zero_byte.empty() && !zero_byte_accepted(record, zero_byte);
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
  target.hash = &hash;
  target.text_at = [&](int64_t offset, size_t length, char* out) {
    return text_at(t, form, offset, length, out);
  };
  const bool stream = saved == save_result::done && target.mode == save_mode::stream;
  if (stream) {
    hold_interrupts(false);
    hold_broken_pipe(true);
    // Written through standard output's own descriptor, perhaps: what is
    // printed before must come first.
    os_flush_out();
  }
  if (saved == save_result::done) {
    bool written = write_rows(target, t, form);
    saved = close_save_target(target, written);
  }
  if (stream) hold_broken_pipe(false);
  hold_interrupts(false);
  report_save(name, record, saved, target, form, content_hash_value(hash), zero_byte);
}
