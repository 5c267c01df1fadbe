// A save in place that a kill or a power cut stopped between writing the new
// text and cutting the file to its length leaves the new text followed by the
// tail of the old, and the old content whole in its backup: the next load of
// the file says where that is.
#pragma once

#include <string_view>

// Prints "NAME: a save of it was cut short; its old content is in BACKUP" on
// standard error for each in-place backup of the file `name` (the user's own
// regular file `.BASE.plinth-XXXXXX` beside it, or beside the file its
// symbolic links lead to, as a save writes it), the oldest first. The
// backups are left as they are.
void report_cut_short_saves(const char* name);

// Whether `entry` names a backup that a save in place makes for the file
// `base`: "." BASE ".plinth-" and six letters or digits.
bool is_backup_name(std::string_view entry, std::string_view base);
