#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/filesystem/path.hpp>

namespace vmrsmgr::platform {

// A file opened for appending, whose handle child processes do not inherit: a
// component started by the service must not keep the log open, or the log
// could not be renamed while the component runs.
class LogFile {
 public:
  LogFile() noexcept = default;
  ~LogFile() { close(); }
  LogFile(LogFile&& other) noexcept;
  LogFile& operator=(LogFile&& other) noexcept;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens the file, creating it when missing, after closing what was open.
  // False when it cannot be opened.
  bool open(const boost::filesystem::path& path);
  bool is_open() const noexcept { return handle_ != kClosed; }
  // Appends all the bytes; false on failure.
  bool write(const char* data, std::size_t size);
  void close() noexcept;

 private:
  // INVALID_HANDLE_VALUE on Windows, no descriptor elsewhere.
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;
};

}  // namespace vmrsmgr::platform
