#include "platform/executable_path.h"

#include <windows.h>

#include <algorithm>

#include <gtest/gtest.h>

namespace vmrsmgr::platform {
namespace {

TEST(ExecutablePath, KeepsPathsOfAnyLength) {
  for (const std::size_t length : {8u, 258u, 259u, 260u, 300u, 1000u, 32000u}) {
    const std::wstring path = L"C:\\" + std::wstring(length, L'a') + L"\\vmrsmgr.exe";
    // Like GetModuleFileNameW: a cut path fills the whole buffer.
    const auto module_file_name = [&path](wchar_t* buffer, std::uint32_t size) {
      const std::size_t written = std::min<std::size_t>(path.size(), size - 1);
      std::copy_n(path.begin(), written, buffer);
      buffer[written] = L'\0';
      return written < path.size() ? size : static_cast<std::uint32_t>(written);
    };
    EXPECT_EQ(executable_path(module_file_name), path) << length;
  }
  // A process's program, asked of the process itself.
  EXPECT_EQ(process_program(::GetCurrentProcess()), executable_path());
}

}  // namespace
}  // namespace vmrsmgr::platform
