#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include "platform/log_file.h"

namespace vmrsmgr {

// The logger's writes to its file and the rotation's removals of old logs:
// the place where tests make the disk fill up or a removal fail.
class LogDisk {
 public:
  LogDisk() = default;
  virtual ~LogDisk() = default;
  LogDisk(const LogDisk&) = delete;
  LogDisk& operator=(const LogDisk&) = delete;

  // The current log, as platform::LogFile.
  bool open(const boost::filesystem::path& path) { return file_.open(path); }
  bool is_open() const noexcept { return file_.is_open(); }
  void close() noexcept { file_.close(); }
  // How many of the bytes reached the file; fewer than size only on failure.
  virtual std::size_t write(const char* data, std::size_t size) { return file_.write(data, size); }
  // Why the last open or write failed.
  virtual std::uint32_t error() const noexcept { return file_.error(); }

  // Removes an old log. A file that is already gone is no error.
  virtual boost::system::error_code remove(const boost::filesystem::path& path);

 private:
  platform::LogFile file_;
};

}  // namespace vmrsmgr
