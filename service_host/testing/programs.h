#pragma once

#include <windows.h>

#include <string>

namespace vmrsmgr::testing {

// The folder of the running program, with its trailing backslash: the build
// puts the test component and vmrsmgr.exe beside the tests.
inline std::string program_folder() {
  std::string path(MAX_PATH, '\0');
  path.resize(::GetModuleFileNameA(nullptr, path.data(), MAX_PATH));
  return path.substr(0, path.find_last_of('\\') + 1);
}

inline std::string test_component() { return program_folder() + "test_component.exe"; }

}  // namespace vmrsmgr::testing
