#pragma once

#include <string>

namespace vmrsmgr {

// Whether the name is one of the four components a service can be installed
// for: dariri, devidori, zavadedad or reduze.
bool is_component(const std::string& name);

// A ZPC ends the control component's command line, which runs through
// cmd /S /C unquoted: only letters, digits, '-', '_' and '.' are safe there.
bool is_valid_zpc(const std::string& zpc);

}  // namespace vmrsmgr
