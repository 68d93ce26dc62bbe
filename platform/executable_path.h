#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vmrsmgr::platform {

// Answers like GetModuleFileNameW for the running program: the characters
// written, or the buffer's size when the path was cut.
using ModuleFileName = std::function<std::uint32_t(wchar_t* buffer, std::uint32_t size)>;

// The full path of the running executable, however long; empty when the
// system does not give it.
std::wstring executable_path();
std::wstring executable_path(const ModuleFileName& module_file_name);

}  // namespace vmrsmgr::platform
