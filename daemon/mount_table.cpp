#include "daemon/mount_table.h"

#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <unordered_map>
#include <unordered_set>

namespace callerfs {
namespace {

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string Unescaped(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t at = 0; at < field.size(); ++at) {
    if (field[at] == '\\' && at + 3 < field.size() && field[at + 1] >= '0' && field[at + 1] <= '3') {
      out += static_cast<char>((field[at + 1] - '0') * 64 + (field[at + 2] - '0') * 8 + (field[at + 3] - '0'));
      at += 3;
    } else {
      out += field[at];
    }
  }
  return out;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (!line.empty()) {
    const size_t blank = line.find(' ');
    if (blank != 0) fields.push_back(line.substr(0, blank));
    if (blank == std::string_view::npos) break;
    line.remove_prefix(blank + 1);
  }
  return fields;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// id parent major:minor root mountpoint options [optional...] - type source super
bool ParseLine(std::string_view line, MountEntry& entry) {
  const std::vector<std::string_view> fields = Fields(line);
  const auto separator = std::find(fields.begin() + std::min<size_t>(6, fields.size()), fields.end(), "-");
  if (fields.size() < 6 || fields.end() - separator < 4) return false;
  const std::string_view dev = fields[2];
  const size_t colon = dev.find(':');
  unsigned major = 0, minor = 0;
  if (!ParseNumber(fields[0], entry.id) || !ParseNumber(fields[1], entry.parent) ||
      colon == std::string_view::npos || !ParseNumber(dev.substr(0, colon), major) ||
      !ParseNumber(dev.substr(colon + 1), minor)) {
    return false;
  }
  entry.dev = ::makedev(major, minor);
  entry.root = Unescaped(fields[3]);
  entry.mountpoint = Unescaped(fields[4]);
  entry.options = fields[5];
  entry.type = separator[1];
  entry.super_options = separator[3];
  return true;
}

bool Moved(const MountEntry& a, const MountEntry& b) {
  return a.mountpoint != b.mountpoint || a.root != b.root || a.options != b.options ||
         a.parent != b.parent || a.dev != b.dev;
}

}  // namespace

bool MountEntry::IsFuse() const {
  return type == "fuse" || type == "fuseblk" || type.starts_with("fuse.") || type.starts_with("fuseblk.");
}

long MountEntry::FuseOption(std::string_view name) const {
  std::string_view rest = super_options;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view option = rest.substr(0, comma);
    if (option.size() > name.size() && option.starts_with(name) && option[name.size()] == '=') {
      long value = -1;
      return ParseNumber(option.substr(name.size() + 1), value) ? value : -1;
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return -1;
}

bool MountEntry::FuseForMounterOnly() const {
  if (!IsFuse()) return false;
  const std::string_view options = super_options;
  for (size_t at = 0; (at = options.find("allow_other", at)) != std::string_view::npos; at += 11) {
    const bool starts = at == 0 || options[at - 1] == ',';
    const bool ends = at + 11 == options.size() || options[at + 11] == ',';
    if (starts && ends) return false;
  }
  return true;
}

bool MountEntry::At(std::string_view path) const { return mountpoint == path; }

bool MountEntry::AtOrBelow(std::string_view path) const {
  if (path == "/") return true;
  return mountpoint.starts_with(path) &&
         (mountpoint.size() == path.size() || mountpoint[path.size()] == '/');
}

MountTable ParseMountTable(std::string_view text) {
  MountTable table;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    MountEntry entry;
    if (ParseLine(text.substr(0, end), entry)) table.push_back(std::move(entry));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return table;
}

MountTable ReadMountTable(int fd) {
  std::string text;
  char chunk[16384];
  for (off_t at = 0;;) {
    const ssize_t got = ::pread(fd, chunk, sizeof chunk, at);
    if (got <= 0) break;
    text.append(chunk, static_cast<size_t>(got));
    at += got;
  }
  return ParseMountTable(text);
}

MountChanges DiffMountTables(const MountTable& before, const MountTable& after) {
  std::unordered_map<int, const MountEntry*> old_by_id, new_by_id;
  for (const MountEntry& entry : before) old_by_id[entry.id] = &entry;
  for (const MountEntry& entry : after) new_by_id[entry.id] = &entry;
  std::unordered_set<int> gone_ids, came_ids;
  for (const MountEntry& entry : before) {
    const auto now = new_by_id.find(entry.id);
    if (now == new_by_id.end() || Moved(entry, *now->second)) gone_ids.insert(entry.id);
  }
  for (const MountEntry& entry : after) {
    const auto then = old_by_id.find(entry.id);
    if (then == old_by_id.end() || Moved(*then->second, entry)) came_ids.insert(entry.id);
  }
  MountChanges changes;
  for (auto it = before.rbegin(); it != before.rend(); ++it) {
    if (gone_ids.contains(it->id) && !gone_ids.contains(it->parent)) changes.gone.push_back(*it);
  }
  for (const MountEntry& entry : after) {
    if (came_ids.contains(entry.id) && !came_ids.contains(entry.parent)) changes.came.push_back(entry);
  }
  return changes;
}

const MountEntry* TopmostAt(const MountTable& table, std::string_view path) {
  const MountEntry* top = nullptr;
  for (const MountEntry& entry : table) {
    if (entry.At(path)) top = &entry;
  }
  return top;
}

}  // namespace callerfs
