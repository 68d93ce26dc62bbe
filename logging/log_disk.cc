#include "logging/log_disk.h"

#include <algorithm>

#include <boost/filesystem/operations.hpp>

namespace vmrsmgr {

namespace fs = boost::filesystem;
using platform::system_path;

std::optional<char> LogDisk::last_byte() const noexcept {
  char byte = 0;
  const std::int64_t end = file_.size();
  if (end <= 0 || file_.read_at(end - 1, &byte, 1) != 1) return {};
  return byte;
}

bool LogDisk::folder_missing(const fs::path& folder) const {
  boost::system::error_code error;
  return fs::status(system_path(folder), error).type() == fs::file_not_found;
}

std::vector<std::string> LogDisk::files(const fs::path& folder) const {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(system_path(folder))) {
    if (fs::is_regular_file(entry.status())) names.push_back(entry.path().filename().string());
  }
  return names;
}

boost::system::error_code LogDisk::remove(const fs::path& path) {
  boost::system::error_code error;
  fs::remove(system_path(path), error);
  return error;
}

boost::system::error_code LogDisk::rename(const fs::path& from, const fs::path& to) {
  boost::system::error_code error;
  fs::rename(system_path(from), system_path(to), error);
  return error;
}

std::string LogDisk::read_note(const fs::path& path) const {
  platform::LogFile note;
  boost::system::error_code error;
  if (!fs::exists(system_path(path), error) || !note.open(path)) return {};
  // A note is one short line: more is not ours.
  std::string text(static_cast<std::size_t>(std::clamp<std::int64_t>(note.size(), 0, 4096)), '\0');
  text.resize(note.read_at(0, text.data(), text.size()));
  return text;
}

bool LogDisk::write_note(const fs::path& path, const std::string& text) {
  if (remove(path)) return false;
  platform::LogFile note;
  return note.open(path) && note.write(text.data(), text.size()) == text.size();
}

}  // namespace vmrsmgr
