#include "platform/executable_path.h"

#include <windows.h>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

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

std::string enter_folder_of(const std::wstring& program_path) {
  namespace fs = boost::filesystem;
  if (!program_path.empty()) fs::current_path(fs::path(program_path).parent_path());
  return fs::current_path().string();
}

}  // namespace vmrsmgr::platform
