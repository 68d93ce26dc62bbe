#include "platform/executable_path.h"

#include <windows.h>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include "platform/grow_buffer.h"
#include "platform/last_error.h"
#include "platform/text.h"

namespace vmrsmgr::platform {
namespace {

// Windows paths have at most 32767 characters; the bound keeps a misbehaving
// call from growing the buffer forever.
constexpr std::size_t kLongestPath = 65536;

}  // namespace

std::wstring executable_path() {
  return executable_path([](wchar_t* buffer, std::uint32_t size) -> std::uint32_t {
    return ::GetModuleFileNameW(nullptr, buffer, size);
  });
}

std::wstring executable_path(const ModuleFileName& module_file_name) {
  std::wstring path;
  const Fill fill =
      grow_to_fit(path, MAX_PATH, kLongestPath, [&](wchar_t* buffer, std::size_t size) {
        const std::uint32_t length = module_file_name(buffer, static_cast<std::uint32_t>(size));
        // A path that filled the whole buffer may have been cut.
        return length < size ? Fill::fits(length) : Fill::too_small(0, ERROR_INSUFFICIENT_BUFFER);
      });
  return fill.outcome == Fill::Outcome::kFits ? path : std::wstring();
}

std::wstring process_program(void* process) {
  std::wstring path;
  const Fill fill =
      grow_to_fit(path, MAX_PATH, kLongestPath, [&](wchar_t* buffer, std::size_t size) {
        DWORD length = static_cast<DWORD>(size);
        if (::QueryFullProcessImageNameW(process, 0, buffer, &length)) return Fill::fits(length);
        const DWORD error = ::GetLastError();
        return error == ERROR_INSUFFICIENT_BUFFER ? Fill::too_small(0, error) : Fill::failed(error);
      });
  return fill.outcome == Fill::Outcome::kFits ? path : std::wstring();
}

std::wstring system_folder() {
  std::wstring folder;
  const Fill fill =
      grow_to_fit(folder, MAX_PATH, kLongestPath, [](wchar_t* buffer, std::size_t size) {
        const UINT length = ::GetSystemDirectoryW(buffer, static_cast<UINT>(size));
        if (length == 0) return Fill::failed(::GetLastError());
        // Too small, the answer is the size needed with its terminator.
        return length < size ? Fill::fits(length)
                             : Fill::too_small(length, ERROR_INSUFFICIENT_BUFFER);
      });
  return fill.outcome == Fill::Outcome::kFits ? folder : std::wstring();
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
