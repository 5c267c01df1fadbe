#include "stand_in_files.h"

#include <algorithm>
#include <cstring>

stand_in_world stand_in;

namespace {

constexpr uint64_t current_directory = 1;
constexpr uint64_t temporary_files = 2;
constexpr std::string_view temporary_prefix = "/tmp/";

stand_in_world& w = stand_in;

stand_in_node* directory_named(std::string_view prefix) {
  if (prefix.empty() || prefix == "./") return &w.nodes[current_directory];
  if (prefix == temporary_prefix) return &w.nodes[temporary_files];
  return nullptr;
}

struct place_of {
  stand_in_node* directory = nullptr;
  std::string base;
};

place_of split(const std::string& path) {
  const std::string_view prefix = directory_prefix(path);
  return {directory_named(prefix), path.substr(prefix.size())};
}

stand_in_node* node_at(const std::string& path) {
  if (path == ".") return &w.nodes[current_directory];
  if (path + '/' == temporary_prefix) return &w.nodes[temporary_files];
  const place_of at = split(path);
  if (at.directory == nullptr) return nullptr;
  const auto found = at.directory->names.find(at.base);
  return found == at.directory->names.end() ? nullptr : &w.nodes[found->second];
}

void touch(stand_in_node& node) {
  node.facts.changed = node.facts.modified = w.whole_seconds ? 1000000000 : ++w.clock;
}

// Its names changed: on Windows they last at once.
void renamed(stand_in_node& directory) {
  if (w.system == stand_in_system::windows_like) directory.synced_names = directory.names;
  touch(directory);
}

file_facts facts_of_node(const stand_in_node& node) {
  file_facts facts = node.facts;
  facts.size = static_cast<int64_t>(node.content.size());
  facts.exact_time = !w.whole_seconds;
  facts.links = 0;
  for (const uint64_t directory : {current_directory, temporary_files}) {
    for (const auto& [name, number] : w.nodes[directory].names) {
      facts.links += number == node.facts.number;
    }
  }
  return facts;
}

// A new empty file at `at`, which is free.
stand_in_node& add_file(const place_of& at, uint32_t mode) {
  stand_in_node& node = w.nodes[w.next_number];
  node.facts.volume = at.directory->facts.volume;
  node.facts.number = w.next_number++;
  node.facts.type = file_type::regular;
  node.facts.mode = mode;
  at.directory->names[at.base] = node.facts.number;
  renamed(*at.directory);
  touch(node);
  return node;
}

bool armed(fault_kind kind) {
  return w.fault.kind == kind && w.fault.at == w.calls - 1;
}

// Another program at work just before the call.
void intrude() {
  stand_in_node* node = node_at(w.fault.target);
  const size_t at = static_cast<size_t>(w.fault.offset);
  if (node == nullptr && armed(fault_kind::append)) {
    node = &add_file(split(w.fault.target), 0644);
    w.theirs.push_back(w.fault.target);
  }
  if (node != nullptr && armed(fault_kind::append)) {
    node->content += their_line;
  } else if (node != nullptr && node->content.size() >= at + their_bytes.size()) {
    node->content.replace(at, their_bytes.size(), their_bytes);
    // Where times keep whole seconds, nothing the save can see tells bytes
    // rewritten after it read them: a race too.
    for (const stand_in_handle& handle : w.handles) {
      w.raced = w.raced || (w.whole_seconds && handle.open && handle.node == node->facts.number &&
                            handle.read_to > w.fault.offset);
    }
  } else {
    return;
  }
  w.intruded = true;
  touch(*node);
}

// Counts the call: none when it is to run, else the error it fails with.
os_error fault_at(std::string_view entry) {
  if (w.dead) return os_error::io;
  w.log.push_back(entry);
  if (w.calls == w.fault.then_at) {
    if (w.fault.then_power_cut) stand_in_power_cut();
    w.dead = true;
  }
  if (w.dead || w.calls++ != w.fault.at) return w.dead ? os_error::io : os_error::none;
  switch (w.fault.kind) {
    case fault_kind::fail:
      return w.fault.error;
    case fault_kind::power_cut:
      stand_in_power_cut();
      [[fallthrough]];
    case fault_kind::stop:
      w.dead = true;
      return os_error::io;
    case fault_kind::append:
    case fault_kind::rewrite:
      intrude();
      return os_error::none;
    default:
      return os_error::none;
  }
}

// Another program made a file at `path` just before the call.
bool taken(const std::string& path) {
  const place_of at = split(path);
  if (!armed(fault_kind::taken) || at.directory == nullptr) return false;
  if (at.directory->names.count(at.base) == 0) {
    stand_in_node& node = add_file(at, 0644);
    node.content = node.synced = their_line;
    w.theirs.push_back(path);
    w.intruded = w.intruded || path == w.fault.target;
  }
  return true;
}

// Whether another program wrote to `node` just before this call.
bool is_target(const stand_in_node& node) {
  return w.intruded && w.fault.at == w.calls - 1 && &node == node_at(w.fault.target);
}

// The file open as `file` for reading (or writing), or null.
stand_in_node* open_file(os_handle file, bool writing = false, bool either = false) {
  const size_t index = static_cast<size_t>(file);
  if (file < 0 || index >= w.handles.size() || !w.handles[index].open) return nullptr;
  const stand_in_handle& handle = w.handles[index];
  const bool allowed = either || (writing ? handle.writes : handle.reads);
  return allowed ? &w.nodes[handle.node] : nullptr;
}

os_handle new_handle(uint64_t node, bool reads, bool writes) {
  w.handles.push_back({node, reads, writes, true});
  return static_cast<os_handle>(w.handles.size() - 1);
}

os_error resolve(const char* name, named_file& file) {
  if (const os_error error = fault_at("resolve"); error != os_error::none) return error;
  file = named_file();
  file.path = name;
  return os_error::none;
}

os_error look(const std::string& path, file_facts& facts) {
  if (const os_error error = fault_at("look"); error != os_error::none) return error;
  const stand_in_node* node = node_at(path);
  if (node != nullptr) facts = facts_of_node(*node);
  return node != nullptr ? os_error::none : os_error::not_found;
}

os_error list(std::string_view directory, std::string_view containing,
              std::vector<directory_entry>& entries) {
  if (const os_error error = fault_at("list"); error != os_error::none) return error;
  const stand_in_node* listed = directory_named(directory);
  if (listed == nullptr) return os_error::not_found;
  entries.clear();
  for (const auto& [name, number] : listed->names) {
    if (name.find(containing) == std::string::npos) continue;
    entries.push_back({name, facts_of_node(w.nodes[number])});
  }
  return os_error::none;
}

os_error open(const std::string& path, open_access access, os_handle& file) {
  if (const os_error error = fault_at("open"); error != os_error::none) return error;
  const stand_in_node* node = node_at(path);
  if (node == nullptr) return os_error::not_found;
  if (node->facts.type != file_type::regular || access == open_access::descriptor) {
    return os_error::other;
  }
  file = new_handle(node->facts.number, access == open_access::read, access != open_access::read);
  return os_error::none;
}

os_error create(const std::string& path, bool private_file, os_handle& file) {
  if (const os_error error = fault_at("create"); error != os_error::none) return error;
  const place_of at = split(path);
  if (taken(path) || (at.directory != nullptr && at.directory->names.count(at.base) != 0)) {
    return os_error::exists;
  }
  if (at.directory == nullptr) return os_error::not_found;
  file = new_handle(add_file(at, private_file ? 0600 : 0644).facts.number, true, true);
  return os_error::none;
}

os_error facts_of(os_handle file, file_facts& facts) {
  if (const os_error error = fault_at("facts_of"); error != os_error::none) return error;
  const stand_in_node* node = open_file(file, false, true);
  if (node != nullptr) facts = facts_of_node(*node);
  return node != nullptr ? os_error::none : os_error::other;
}

int64_t read_at(os_handle file, void* buffer, size_t size, int64_t offset, os_error& error) {
  error = fault_at("read_at");
  const stand_in_node* node = error == os_error::none ? open_file(file) : nullptr;
  if (node == nullptr) {
    if (error == os_error::none) error = os_error::other;
    return -1;
  }
  const size_t from = std::min(node->content.size(), static_cast<size_t>(offset));
  const size_t length = std::min(size, node->content.size() - from);
  memcpy(buffer, node->content.data() + from, length);
  int64_t& read_to = w.handles[static_cast<size_t>(file)].read_to;
  read_to = std::max(read_to, static_cast<int64_t>(from + length));
  return static_cast<int64_t>(length);
}

os_error write_at(os_handle file, const void* bytes, size_t size, int64_t offset) {
  if (const os_error error = fault_at("write_at"); error != os_error::none) return error;
  stand_in_node* node = open_file(file, true);
  if (node == nullptr) return os_error::other;
  const int64_t theirs = w.fault.offset;
  w.raced = w.raced || (armed(fault_kind::rewrite) && is_target(*node) &&
                        offset < theirs + static_cast<int64_t>(their_bytes.size()) &&
                        theirs < offset + static_cast<int64_t>(size));
  const size_t at = static_cast<size_t>(offset);
  if (node->content.size() < at + size) node->content.resize(at + size);
  node->content.replace(at, size, static_cast<const char*>(bytes), size);
  touch(*node);
  return os_error::none;
}

os_error write(os_handle file, const void* bytes, size_t size) {
  if (const os_error error = fault_at("write"); error != os_error::none) return error;
  stand_in_node* node = open_file(file, true);
  if (node == nullptr) return os_error::other;
  node->content.append(static_cast<const char*>(bytes), size);
  touch(*node);
  return os_error::none;
}

os_error set_length(os_handle file, int64_t size) {
  if (const os_error error = fault_at("set_length"); error != os_error::none) return error;
  stand_in_node* node = open_file(file, true);
  if (node == nullptr) return os_error::other;
  // Cut, their line is lost; lengthened, it is inside what the save takes
  // for its own.
  w.raced = w.raced || (armed(fault_kind::append) && is_target(*node) &&
                        static_cast<size_t>(size) != node->content.size());
  node->content.resize(static_cast<size_t>(size));
  touch(*node);
  return os_error::none;
}

os_error reserve(os_handle file, int64_t) {
  if (const os_error error = fault_at("reserve"); error != os_error::none) return error;
  return open_file(file, true) != nullptr ? os_error::none : os_error::other;
}

os_error sync(os_handle file) {
  if (const os_error error = fault_at("sync"); error != os_error::none) return error;
  stand_in_node* node = open_file(file, false, true);
  if (node == nullptr) return os_error::other;
  node->synced = node->content;
  return os_error::none;
}

void close(os_handle file) {
  if (open_file(file, false, true) != nullptr) w.handles[static_cast<size_t>(file)].open = false;
}

bool give_identity(os_handle from, const file_facts& facts, os_handle to) {
  const stand_in_node* old = open_file(from, false, true);
  return fault_at("give_identity") == os_error::none && old != nullptr &&
         same_file(old->facts, facts) && open_file(to, true) != nullptr;
}

bool give_mode(os_handle from, const file_facts& facts, os_handle to) {
  stand_in_node* node = open_file(to, true);
  if (fault_at("give_mode") != os_error::none || open_file(from, false, true) == nullptr ||
      node == nullptr) {
    return false;
  }
  node->facts.mode = facts.mode;
  touch(*node);
  return true;
}

// Gives the file at `from` the name `to`, whatever had it.
os_error move(const std::string& from, const std::string& to) {
  const place_of source = split(from);
  const place_of target = split(to);
  const stand_in_node* node = node_at(from);
  if (node == nullptr || target.directory == nullptr) return os_error::not_found;
  // Across volumes a name can't be given; nor taken from a directory that
  // keeps every name.
  if (source.directory->facts.volume != target.directory->facts.volume) return os_error::other;
  if (source.directory->facts.keeps_names) return os_error::denied;
  source.directory->names.erase(source.base);
  target.directory->names[target.base] = node->facts.number;
  renamed(*source.directory);
  renamed(*target.directory);
  return os_error::none;
}

os_error replace(const std::string& from, const std::string& to, const std::string& aside) {
  if (const os_error error = fault_at("replace"); error != os_error::none) return error;
  if (const stand_in_node* replaced = node_at(to)) {
    w.raced = w.raced || is_target(*replaced);
  }
  if (w.system == stand_in_system::linux_like) return move(from, to);
  if (node_at(from) == nullptr || node_at(to) == nullptr) return os_error::not_found;
  if (node_at(aside) != nullptr) return os_error::exists;
  if (armed(fault_kind::replace_kept)) return os_error::other;
  if (const os_error moved = move(to, aside); moved != os_error::none) return moved;
  if (armed(fault_kind::replace_aside)) return os_error::other;
  w.dead = armed(fault_kind::stop_aside);
  return w.dead ? os_error::io : move(from, to);
}

os_error place(const std::string& from, const std::string& to) {
  if (const os_error error = fault_at("place"); error != os_error::none) return error;
  return taken(to) || node_at(to) != nullptr ? os_error::exists : move(from, to);
}

os_error remove_if_same(const std::string& path, const file_facts& which) {
  if (const os_error error = fault_at("remove_if_same"); error != os_error::none) return error;
  const stand_in_node* node = node_at(path);
  if (node == nullptr) return os_error::not_found;
  if (!same_file(node->facts, which)) return os_error::exists;
  const place_of at = split(path);
  if (at.directory->facts.keeps_names) return os_error::denied;
  at.directory->names.erase(at.base);
  renamed(*at.directory);
  return os_error::none;
}

os_error sync_directory(const std::string& path) {
  if (const os_error error = fault_at("sync_directory"); error != os_error::none) return error;
  if (w.system == stand_in_system::windows_like) return os_error::unsupported;
  stand_in_node* directory = directory_named(directory_prefix(path));
  if (directory == nullptr) return os_error::not_found;
  directory->synced_names = directory->names;
  return os_error::none;
}

std::string temporary_directory() {
  return std::string(temporary_prefix);
}

// Other letters each time, the same from the same start.
void random_letters(char* letters, size_t count) {
  unsigned n = ++w.letters;
  for (size_t i = 0; i < count; ++i, n /= 26) letters[i] = static_cast<char>('a' + n % 26);
}

const os_file_system stand_in_table = {
    resolve,        look,    list,           open,           create,
    facts_of,       read_at, write_at,       write,          set_length,
    reserve,        sync,    close,          give_identity,  give_mode,
    replace,        place,   remove_if_same, sync_directory, temporary_directory,
    random_letters,
};

}  // namespace

const os_file_system* stand_in_files() {
  return &stand_in_table;
}

void stand_in_start(stand_in_system system) {
  w = stand_in_world();
  w.system = system;
  for (const uint64_t number : {current_directory, temporary_files}) {
    file_facts& facts = w.nodes[number].facts;
    facts.volume = facts.number = number;
    facts.type = file_type::directory;
    facts.mode = 0755;
  }
}

void stand_in_put(const std::string& path, std::string_view content) {
  stand_in_node* node = node_at(path);
  if (node == nullptr) node = &add_file(split(path), 0644);
  node->content = content;
  stand_in_settle();
}

bool stand_in_link(const std::string& existing, const std::string& path) {
  stand_in_node* node = node_at(existing);
  const place_of at = split(path);
  if (node == nullptr || at.directory == nullptr || node_at(path) != nullptr) return false;
  at.directory->names[at.base] = node->facts.number;
  touch(*node);
  return true;
}

stand_in_node* stand_in_find(const std::string& path) {
  return node_at(path);
}

void stand_in_settle() {
  for (auto& [number, node] : w.nodes) {
    node.synced = node.content;
    node.synced_names = node.names;
  }
}

void stand_in_power_cut() {
  for (auto& [number, node] : w.nodes) {
    node.content = node.synced;
    node.names = node.synced_names;
  }
}

void stand_in_revive() {
  w.dead = false;
  w.handles.clear();
  w.fault = stand_in_fault();
}

size_t stand_in_open_handles() {
  return static_cast<size_t>(std::count_if(w.handles.begin(), w.handles.end(),
                                           [](const stand_in_handle& h) { return h.open; }));
}

std::map<std::string, stand_in_file> stand_in_listing() {
  std::map<std::string, stand_in_file> files;
  for (const auto& [prefix, number] : {std::pair<std::string_view, uint64_t>{"", current_directory},
                                       {temporary_prefix, temporary_files}}) {
    for (const auto& [name, file] : w.nodes[number].names) {
      const stand_in_node& node = w.nodes[file];
      files[std::string(prefix) + name] = {node.content, node.facts.mode, node.facts.number};
    }
  }
  return files;
}
