#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
  // The open file's size, or -1.
  std::int64_t size() const noexcept;
  // Reads up to size bytes from offset; returns how many were read.
  std::size_t read_at(std::int64_t offset, char* out, std::size_t size) const noexcept;
  // Appends the bytes; returns how many reached the file, fewer than size
  // only when a write failed part-way or at once.
  std::size_t write(const char* data, std::size_t size);
  void close() noexcept;
  // Why the last open or write failed: the system's error code (Windows'
  // on Windows, errno elsewhere).
  std::uint32_t error() const noexcept { return error_; }

 private:
  // INVALID_HANDLE_VALUE on Windows, no descriptor elsewhere.
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;
  std::uint32_t error_ = 0;
};

// The system's error code of a folder that does not exist
// (ERROR_PATH_NOT_FOUND on Windows).
std::uint32_t path_not_found_error() noexcept;

// The system's error code of a full disk (ERROR_DISK_FULL on Windows).
std::uint32_t disk_full_error() noexcept;

// Whether an error says the disk has no room (ERROR_DISK_FULL,
// ERROR_HANDLE_DISK_FULL; ENOSPC, EDQUOT).
bool is_disk_full(std::uint32_t error) noexcept;

// Whether LogFile::open failed only because another program holds the file
// for now, so that a later try may succeed.
bool is_sharing_conflict(std::uint32_t error) noexcept;

// The \\?\ form of an absolute Windows path, which the system takes past 260
// characters without the LongPathsEnabled policy: separators become "\", "."
// and ".." are resolved, \\server\share becomes \\?\UNC\server\share. A
// path in that form already, or one that is not absolute, stays as it is.
std::wstring extended_length_path(std::wstring_view path);

// The path to hand the system for a log's file: extended_length_path on
// Windows, the path itself elsewhere.
boost::filesystem::path system_path(const boost::filesystem::path& path);

}  // namespace vmrsmgr::platform
