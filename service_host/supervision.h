#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

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

// Turns the component's output into log records: one a line, without its
// line end ("\n" or "\r\n"), so that each carries its own time stamp and
// nothing the component prints can pass for a record of the service's; a
// line longer than max_piece goes on in further records. Any other byte, a
// NUL or a lone "\r", stays as it is.
class OutputLines {
 public:
  using Emit = std::function<void(std::string_view record)>;
  explicit OutputLines(std::size_t max_piece = kMaxOutputPiece) : max_piece_(max_piece) {}

  // Emits every line the output completes; the rest of a line waits for
  // more output.
  void add(std::string_view output, const Emit& emit);
  // Emits the waiting rest as it is: at the end of the output, or when it
  // has waited long enough.
  void flush(const Emit& emit);
  bool waiting() const { return !partial_.empty(); }

 private:
  std::size_t max_piece_;
  std::string partial_;
};

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
