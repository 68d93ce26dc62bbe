#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include "platform/log_file.h"

namespace vmrsmgr {

// Everything the log does to the disk: writes to the current log, the
// rotation's moves and removals, the folder's listing and the note of lines
// lost at the end of a run. The place where tests make the disk fill up, a
// file refuse to move or an old log refuse to go. Every path goes to the
// system in the form that passes 260 characters.
class LogDisk {
 public:
  LogDisk() = default;
  virtual ~LogDisk() = default;
  LogDisk(const LogDisk&) = delete;
  LogDisk& operator=(const LogDisk&) = delete;

  // The current log, as platform::LogFile.
  virtual bool open(const boost::filesystem::path& path) { return file_.open(path); }
  bool is_open() const noexcept { return file_.is_open(); }
  void close() noexcept { file_.close(); }
  std::int64_t size() const noexcept { return file_.size(); }
  // The open file's last byte, if it has one.
  std::optional<char> last_byte() const noexcept;
  // How many of the bytes reached the file; fewer than size only on failure.
  virtual std::size_t write(const char* data, std::size_t size) { return file_.write(data, size); }
  // Why the last open or write failed.
  virtual std::uint32_t error() const noexcept { return file_.error(); }

  // Whether the folder is missing (not whether it can be written).
  bool folder_missing(const boost::filesystem::path& folder) const;
  // The names of the folder's regular files. Raises the file system's error.
  std::vector<std::string> files(const boost::filesystem::path& folder) const;
  // Removes an old log. A file that is already gone is no error.
  virtual boost::system::error_code remove(const boost::filesystem::path& path);
  // Moves a file, replacing one of the new name.
  virtual boost::system::error_code rename(const boost::filesystem::path& from,
                                           const boost::filesystem::path& to);

  // A small file of text beside the log, read whole; empty when missing.
  std::string read_note(const boost::filesystem::path& path) const;
  // Replaces the note's text; false when it cannot be written.
  bool write_note(const boost::filesystem::path& path, const std::string& text);

 private:
  platform::LogFile file_;
};

}  // namespace vmrsmgr
