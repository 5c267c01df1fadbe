// The ways a save writes, and what they share: seen only by the parts of a
// save.
#pragma once

#include <string>
#include <string_view>

#include "texttable/save_target.h"

// Opening, one way each.
save_result open_new(save_target& target, const char* zero_byte_row);
save_result start_new_file(save_target& target);
save_result start_replacement(save_target& target);
save_result start_in_place(save_target& target);

// Writes what the buffer holds; false once a write failed.
bool flush_save_buffer(save_target& target);
// In place: whether the file still holds its old content (or the zeros it
// was lengthened with) where the buffer is to go; where it does not,
// `intruded` is set. False also when it can't be read.
bool still_old_where_written(save_target& target);

// Ending, one way each.
save_result finish_replacement(save_target& target, bool written);
save_result finish_in_place(save_target& target, bool written);

// What `path` leads to now: a regular file with its content hashed (when it
// can be read), anything else as it stands, nothing as a record of no file.
// `looked`, when given, is what the look at the name gave.
seen_file look_again(const char* name, const std::string& path, os_error* looked = nullptr);

// A name beside `path`, or in `directory` when given, for a file of the
// save: ".BASE.plinth-" KIND and six letters (in `short_form`, without
// BASE). With `identity` it holds the target's volume and number before the
// letters, so that it is found again away from the file and under another
// of its names.
std::string name_beside(const std::string& path, std::string_view kind,
                        const std::string* directory = nullptr,
                        const file_facts* identity = nullptr, bool short_form = false);
// Creates a file of the save under a name made by name_beside: another
// where the name is taken, in short form with the identity where it is too
// long.
os_error create_beside(const std::string& path, std::string_view kind, bool private_file,
                       std::string& created, os_handle& file,
                       const std::string* directory = nullptr,
                       const file_facts* identity = nullptr);
// Gives the file at `from` a name made by name_beside, likewise.
os_error place_beside(const std::string& from, const std::string& path, std::string_view kind,
                      std::string& placed, const std::string* directory = nullptr,
                      const file_facts* identity = nullptr);

// Whether the directory of `path` keeps every name made in it; `unknown`
// when the system can't tell.
bool directory_keeps_names(const std::string& path, bool unknown = false);
// Hashes all of the file open as `file`, from its start.
bool hash_file(os_handle file, uint64_t& hash, int64_t& size);
file_status status_of(const file_facts& facts);
// Takes the room for `size` bytes: false only when there is none.
bool reserve_room(os_handle file, int64_t size);
// Closes `file` when open, and forgets it.
void close_file(os_handle& file);
