// A save in place that a kill or a power cut stopped between writing the new
// text and cutting the file to its length leaves the new text followed by the
// tail of the old, and the old content whole in its backup: the next load of
// the file says where that is.
#pragma once

#include <string_view>

#include "os/files.h"

// Prints "NAME: a save of it was cut short; its old content is in BACKUP" on
// standard error for each in-place backup of the file `name` (the user's own
// regular file `.BASE.plinth-XXXXXX` beside the file a save of `name`
// writes, or one that names the file's identity there or in the directory
// for temporary files), the oldest first. The backups are left as they are.
void report_cut_short_saves(const char* name);

// Whether `entry` names a backup that a save in place makes for the file
// `base` (`identity`, when known): "." BASE ".plinth-" and six letters or
// digits, unless `away` from the file, or the same with the file's volume
// and number before the letters, BASE there or not.
bool is_backup_name(std::string_view entry, std::string_view base, const file_facts* identity,
                    bool away);
