#pragma once

#include <string>

namespace vmrsmgr {

// A ZPC ends the control component's command line, which runs through
// cmd /S /C unquoted: only letters, digits, '-', '_' and '.' are safe there.
bool is_valid_zpc(const std::string& zpc);

}  // namespace vmrsmgr
