// A save in place that a kill or a power cut stopped between writing the new
// text and cutting the file to its length leaves the new text followed by the
// tail of the old, and the old content whole in its backup: the next load of
// the file says where that is.
#pragma once

#include <string>
#include <string_view>

#include "os/files.h"

// Prints "NAME: a save of it was cut short; its old content is in BACKUP" on
// standard error for each in-place backup of the file `name`: the user's own
// regular files beside the file a save of `name` writes, or in the directory
// for temporary files, whose names hold the file's identity (its volume and
// number), and those an older run named `.BASE.plinth-XXXXXX` beside it; the
// oldest first. The backups are left as they are.
void report_cut_short_saves(const char* name);

// Whether `entry` names a backup of the file `base` (`identity`, when
// known): "." NAME ".plinth-" VOLUME "-" NUMBER "-" and six letters or
// digits, NAME any name the file had (or none), or, unless `away` from the
// file, "." BASE ".plinth-" and the letters, with any identity or none.
bool is_backup_name(std::string_view entry, std::string_view base, const file_facts* identity,
                    bool away);

// "VOLUME-NUMBER-" of `identity`, in hexadecimal digits: what a backup's name
// holds of the file it keeps the content of.
std::string identity_tag(const file_facts& identity);
