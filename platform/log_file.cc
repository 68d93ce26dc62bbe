#include "platform/log_file.h"

#include <algorithm>
#include <utility>

#ifdef _WIN32
#include <windows.h>

#include "platform/last_error.h"
#else
#include <cerrno>
#include <fcntl.h>
#include <system_error>
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
  const HANDLE file =
      ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

std::uint32_t path_not_found_error() noexcept { return ERROR_PATH_NOT_FOUND; }

std::uint32_t disk_full_error() noexcept { return ERROR_DISK_FULL; }

bool is_sharing_conflict(std::uint32_t error) noexcept {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

std::string error_text(std::uint32_t error) { return system_message(error); }

#else

bool LogFile::open(const boost::filesystem::path& path) {
  close();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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

std::uint32_t path_not_found_error() noexcept { return ENOENT; }

std::uint32_t disk_full_error() noexcept { return ENOSPC; }

// Nothing but Windows keeps others from opening a file.
bool is_sharing_conflict(std::uint32_t) noexcept { return false; }

std::string error_text(std::uint32_t error) {
  return std::generic_category().message(static_cast<int>(error));
}

#endif

}  // namespace vmrsmgr::platform
