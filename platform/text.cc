#include "platform/text.h"

#include <windows.h>

#include <climits>
#include <stdexcept>

#include <boost/filesystem/path.hpp>

namespace vmrsmgr::platform {
namespace {

int checked_length(std::size_t size) {
  if (size > static_cast<std::size_t>(INT_MAX)) throw std::length_error("text too long");
  return static_cast<int>(size);
}

}  // namespace

std::wstring to_wide(const std::string& narrow) {
  if (narrow.empty()) return {};
  const int in = checked_length(narrow.size());
  const int out = ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), in, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(out), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), in, wide.data(), out);
  return wide;
}

std::string to_narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int in = checked_length(wide.size());
  const int out = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), in, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(out), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, wide.data(), in, narrow.data(), out, nullptr, nullptr);
  return narrow;
}

std::string readable_path(std::string path) {
  while (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return boost::filesystem::path(path).lexically_normal().string();
}

}  // namespace vmrsmgr::platform
