#include "platform/log_file.h"

#include <algorithm>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace vmrsmgr::platform {

LogFile::LogFile(LogFile&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}

LogFile& LogFile::operator=(LogFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kClosed);
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
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool LogFile::write(const char* data, std::size_t size) {
  if (!is_open()) return false;
  while (size > 0) {
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1U << 30));
    DWORD written = 0;
    if (!::WriteFile(as_handle(handle_), data, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

void LogFile::close() noexcept {
  if (is_open()) ::CloseHandle(as_handle(std::exchange(handle_, kClosed)));
}

#else

bool LogFile::open(const boost::filesystem::path& path) {
  close();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

bool LogFile::write(const char* data, std::size_t size) {
  if (!is_open()) return false;
  while (size > 0) {
    const ssize_t written = ::write(static_cast<int>(handle_), data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

void LogFile::close() noexcept {
  if (is_open()) ::close(static_cast<int>(std::exchange(handle_, kClosed)));
}

#endif

}  // namespace vmrsmgr::platform
