#pragma once

#include <string>

#include "tests/windows_support.h"

namespace vmrsmgr::testing {

// The build puts the test component beside vmrsmgr.exe and the tests.
inline std::string test_component() { return program_folder() + "test_component.exe"; }

}  // namespace vmrsmgr::testing
