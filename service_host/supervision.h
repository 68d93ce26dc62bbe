#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "logging/log_line.h"
#include "logging/logger.h"

namespace vmrsmgr {

// The component's command line, the folder it starts in and its program,
// made from "current_path", "workdir", "exe" and "args".
struct ChildCommand {
  std::string command;
  std::string folder;
  std::string program;
};
ChildCommand child_command(const boost::property_tree::ptree& settings);

// The component's output is logged at trace level behind this prefix.
inline constexpr std::string_view kOutputPrefix = "output: ";
// The most of it one log line carries: the logger's slot also holds the time
// stamp, a blank, the tag, the prefix and the line end.
inline constexpr std::size_t kMaxOutputPiece =
    Logger::kSlotSize - kMaxTimeStamp - std::string_view(" [trace] ").size() -
    kOutputPrefix.size() - std::string_view("\r\n").size();

// Cuts output into pieces of at most max_piece bytes, in order and without
// losing a byte, each ending at the last line end that fits where there is
// one.
std::vector<std::string_view> split_output_for_log(std::string_view output,
                                                   std::size_t max_piece = kMaxOutputPiece);

// The exit codes a stopped service reports to the service manager.
struct ServiceExit {
  std::uint32_t win32_exit_code;
  std::uint32_t service_specific_exit_code;
};
// ERROR_SERVICE_SPECIFIC_ERROR: the reason is in the service-specific code.
inline constexpr std::uint32_t kServiceSpecificError = 1066;
inline constexpr ServiceExit kStoppedCleanly{0, 0};
inline constexpr ServiceExit kStoppedOnError{kServiceSpecificError, 1};
// A failure of the service's own that Windows names.
inline constexpr ServiceExit stopped_by(std::uint32_t win32_error) { return {win32_error, 0}; }
// After the component ended: its own failure reaches the manager, while a
// stop that was asked for is no failure whatever the component's last code.
ServiceExit exit_after_component(bool stop_requested, std::uint32_t component_exit_code);

}  // namespace vmrsmgr
