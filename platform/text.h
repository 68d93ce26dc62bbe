#pragma once

#include <string>

namespace vmrsmgr::platform {

// Narrow text here is in the ANSI code page, the one in which the narrow
// command line arrives; wide text is what the W calls of Windows take.
std::wstring to_wide(const std::string& narrow);
std::string to_narrow(const std::wstring& wide);

// A path as an administrator would type it: "bin\..\dariri\" as "dariri".
std::string readable_path(std::string path);

}  // namespace vmrsmgr::platform
