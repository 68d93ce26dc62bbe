#include "platform/executable_path.h"

#include <windows.h>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include "platform/last_error.h"
#include "platform/text.h"

namespace vmrsmgr::platform {
namespace {

// Windows paths have at most 32767 characters; the bound keeps a misbehaving
// call from growing the buffer forever.
constexpr std::uint32_t kLongestPath = 65536;

}  // namespace

std::wstring executable_path() {
  return executable_path([](wchar_t* buffer, std::uint32_t size) -> std::uint32_t {
    return ::GetModuleFileNameW(nullptr, buffer, size);
  });
}

std::wstring executable_path(const ModuleFileName& module_file_name) {
  std::wstring path;
  for (std::uint32_t size = MAX_PATH; size <= kLongestPath; size *= 2) {
    path.resize(size);
    const std::uint32_t length = module_file_name(path.data(), size);
    // A path that filled the whole buffer may have been cut.
    if (length < size) {
      path.resize(length);
      return path;
    }
  }
  return {};
}

std::wstring process_program(void* process) {
  std::wstring path;
  for (DWORD size = MAX_PATH; size <= kLongestPath; size *= 2) {
    path.resize(size);
    DWORD length = size;
    if (::QueryFullProcessImageNameW(process, 0, path.data(), &length)) {
      path.resize(length);
      return path;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
  }
  return {};
}

std::string enter_folder_of(const std::wstring& program_path) {
  namespace fs = boost::filesystem;
  if (!program_path.empty()) {
    const fs::path folder = fs::path(program_path).parent_path();
    boost::system::error_code error;
    fs::current_path(folder, error);
    if (error) {
      throw windows_error(static_cast<std::uint32_t>(error.value()),
                          "cannot enter the program's folder " + to_narrow(folder.wstring()));
    }
  }
  return fs::current_path().string();
}

}  // namespace vmrsmgr::platform
