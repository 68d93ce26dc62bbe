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

// The full path of the program another process runs, from a handle opened
// with at least PROCESS_QUERY_LIMITED_INFORMATION; empty when the system does
// not give it. The handle is a HANDLE, kept opaque here.
std::wstring process_program(void* process);

// The system's folder (System32), however long; empty when the system does
// not give it.
std::wstring system_folder();

// Makes the folder of the program at program_path the current folder (the
// path is wide, so any letter survives; an empty one changes nothing), and
// gives the current folder in the program's narrow text. Raises a
// std::system_error with the system's code, naming the folder, when it
// cannot be entered.
std::string enter_folder_of(const std::wstring& program_path);

}  // namespace vmrsmgr::platform
