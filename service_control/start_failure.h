#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "settings/service_settings.h"

namespace vmrsmgr {

// Why a service stops as it starts. The service stops with the cause's exit
// code; --start reads the code back and names the cause with what it finds.
enum class StartFailure {
  kConfigurationFile,     // conf\vmrsmgr.conf is refused
  kProgramFolder,         // the program's own folder cannot be entered
  kLogFolder,             // the log folder is missing
  kComponentFolder,       // the component's folder is missing
  kComponentProgram,      // the component's program is missing
  kComponentPathTooLong,  // the command interpreter cannot take the program's path
};

// The Win32 exit code the service reports for the cause.
std::uint32_t exit_code_of(StartFailure cause);

// The longest program path the command interpreter runs: past it, it answers
// 9009 as if the program were missing.
inline constexpr std::size_t kLongestComponentPath = MAX_PATH - 1;

// A path's length as Windows counts it, in UTF-16 units, not bytes.
std::size_t path_length(const std::string& path);

// What keeps the component's command from running, checked before it runs.
std::optional<StartFailure> check_component(const ComponentCommand& command);

// The service-specific exit code of a service whose component ended by
// itself with 0, beside the Win32 exit code 0, so that it is told from a
// stop on request (0 and 0): Windows reads the service-specific code only
// beside 1066, so restarts after failures take neither for one.
inline constexpr std::uint32_t kEndedByItself = ERROR_PROCESS_ABORTED;

// Why a service stopped while it started, as its exit codes and the files
// tell: the line --start prints, and the setting, folder or file at fault;
// each empty when they do not tell.
struct StopCause {
  std::string line;
  std::string at_fault;
};
StopCause cause_of_stop(std::uint32_t win32_exit_code, std::uint32_t service_specific_exit_code,
                        const ServiceFiles& files);

// The line of cause_of_stop.
inline std::string explain_stop(std::uint32_t win32_exit_code,
                                std::uint32_t service_specific_exit_code,
                                const ServiceFiles& files) {
  return cause_of_stop(win32_exit_code, service_specific_exit_code, files).line;
}

}  // namespace vmrsmgr
