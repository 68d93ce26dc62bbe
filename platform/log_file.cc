#include "platform/log_file.h"

#include <algorithm>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vmrsmgr::platform {

LogFile::LogFile(LogFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kClosed)), error_(other.error_) {}

LogFile& LogFile::operator=(LogFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kClosed);
    error_ = other.error_;
  }
  return *this;
}

#ifdef _WIN32

namespace {
HANDLE as_handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
}  // namespace

bool LogFile::open(const boost::filesystem::path& path) {
  close();
  // No security attributes: the handle is not inheritable. Readers may share
  // the file, but nobody may rename or delete it while it is open.
  // Read access to see how a log an earlier run left ends.
  const HANDLE file = ::CreateFileW(system_path(path).c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error_ = ::GetLastError();
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

std::size_t LogFile::write(const char* data, std::size_t size) {
  if (!is_open()) return 0;
  std::size_t done = 0;
  while (done < size) {
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1U << 30));
    DWORD written = 0;
    const BOOL ok = ::WriteFile(as_handle(handle_), data + done, chunk, &written, nullptr);
    done += written;
    if (!ok) {
      error_ = ::GetLastError();
      break;
    }
    if (written == 0) {
      error_ = ERROR_WRITE_FAULT;
      break;
    }
  }
  return done;
}

void LogFile::close() noexcept {
  if (is_open()) ::CloseHandle(as_handle(std::exchange(handle_, kClosed)));
}

std::int64_t LogFile::size() const noexcept {
  LARGE_INTEGER size{};
  return is_open() && ::GetFileSizeEx(as_handle(handle_), &size) ? size.QuadPart : -1;
}

std::size_t LogFile::read_at(std::int64_t offset, char* out, std::size_t size) const noexcept {
  if (!is_open() || offset < 0) return 0;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFU);
  at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
  DWORD read = 0;
  const auto most = static_cast<DWORD>(std::min<std::size_t>(size, 1U << 30));
  return ::ReadFile(as_handle(handle_), out, most, &read, &at) ? read : 0;
}

std::uint32_t path_not_found_error() noexcept { return ERROR_PATH_NOT_FOUND; }

std::uint32_t disk_full_error() noexcept { return ERROR_DISK_FULL; }

bool is_disk_full(std::uint32_t error) noexcept {
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

bool is_sharing_conflict(std::uint32_t error) noexcept {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

boost::filesystem::path system_path(const boost::filesystem::path& path) {
  return extended_length_path(path.native());
}

#else

bool LogFile::open(const boost::filesystem::path& path) {
  close();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    error_ = static_cast<std::uint32_t>(errno);
    return false;
  }
  handle_ = fd;
  return true;
}

std::size_t LogFile::write(const char* data, std::size_t size) {
  if (!is_open()) return 0;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t written = ::write(static_cast<int>(handle_), data + done, size - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error_ = static_cast<std::uint32_t>(written < 0 ? errno : EIO);
      break;
    }
    done += static_cast<std::size_t>(written);
  }
  return done;
}

void LogFile::close() noexcept {
  if (is_open()) ::close(static_cast<int>(std::exchange(handle_, kClosed)));
}

std::int64_t LogFile::size() const noexcept {
  struct stat status {};
  return is_open() && ::fstat(static_cast<int>(handle_), &status) == 0 ? status.st_size : -1;
}

std::size_t LogFile::read_at(std::int64_t offset, char* out, std::size_t size) const noexcept {
  if (!is_open() || offset < 0) return 0;
  const ssize_t read = ::pread(static_cast<int>(handle_), out, size, offset);
  return read > 0 ? static_cast<std::size_t>(read) : 0;
}

std::uint32_t path_not_found_error() noexcept { return ENOENT; }

std::uint32_t disk_full_error() noexcept { return ENOSPC; }

bool is_disk_full(std::uint32_t error) noexcept { return error == ENOSPC || error == EDQUOT; }

// Nothing but Windows keeps others from opening a file.
bool is_sharing_conflict(std::uint32_t) noexcept { return false; }

boost::filesystem::path system_path(const boost::filesystem::path& path) { return path; }

#endif

std::wstring extended_length_path(std::wstring_view path) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  const bool unc = path.size() > 2 && separator(path[0]) && separator(path[1]) && path[2] != L'?' &&
                   path[2] != L'.';
  const bool drive = path.size() > 2 && path[1] == L':' && separator(path[2]) &&
                     ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
  if (!unc && !drive) return std::wstring(path);
  // The root (the drive, or server and share) stays; ".." never climbs above it.
  std::vector<std::wstring_view> parts;
  const std::size_t root_parts = unc ? 2 : 1;
  for (std::size_t at = 0; at < path.size();) {
    while (at < path.size() && separator(path[at])) ++at;
    std::size_t end = at;
    while (end < path.size() && !separator(path[end])) ++end;
    const std::wstring_view part = path.substr(at, end - at);
    at = end;
    if (part.empty() || part == L".") continue;
    if (part == L".." && parts.size() >= root_parts) {
      if (parts.size() > root_parts) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::wstring result = unc ? L"\\\\?\\UNC" : L"\\\\?";
  for (const std::wstring_view part : parts) (result += L'\\') += part;
  if (parts.size() == root_parts && !unc) result += L'\\';  // the drive's root
  return result;
}

}  // namespace vmrsmgr::platform
