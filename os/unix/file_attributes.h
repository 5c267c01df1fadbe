// What a new file must be given to take an old one's place without changing
// who may do what with it: owner, group, mode, access list and extended
// attributes.
#pragma once

#include <sys/stat.h>

// Gives `to` the owner, group, extended attributes and access list of `from`
// (whose status is `old`), and tries its mode, which is then narrowed to the
// owner's reading and writing while the text is written. False when any of
// them can't be given exactly.
bool give_identity(int from, const struct stat& old, int to);

// Gives `to` the mode of `old` again, with the attributes that writing took
// away (a file capability). False when the result is not exact.
bool give_mode(int from, const struct stat& old, int to);
