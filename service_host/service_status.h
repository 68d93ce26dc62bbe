#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>

#include <boost/property_tree/ptree_fwd.hpp>

#include "platform/handles.h"

namespace vmrsmgr {

// The exit codes a stopped service reports to the service manager.
struct ServiceExit {
  std::uint32_t win32_exit_code;
  std::uint32_t service_specific_exit_code;
};
// ERROR_SERVICE_SPECIFIC_ERROR: the reason is in the service-specific code.
inline constexpr std::uint32_t kServiceSpecificError = 1066;
inline constexpr ServiceExit kStoppedCleanly{0, 0};
// A failure of the service itself that no Windows error names; never 1066,
// which carries the component's own exit code.
inline constexpr ServiceExit kStoppedOnError{ERROR_EXCEPTION_IN_SERVICE, 0};
// A failure of the service's own that Windows names.
inline constexpr ServiceExit stopped_by(std::uint32_t win32_error) { return {win32_error, 0}; }
// After the component ended: its own failure reaches the manager, while a
// stop that was asked for is no failure whatever the component's last code.
ServiceExit exit_after_component(bool stop_requested, std::uint32_t component_exit_code);

// The service's status record and its stop request, which the service's own
// thread and the control handler share. One mutex makes each change together
// with the report that follows it one step, never interleaved with the other
// thread's. The stop request is the stop event; the key "mode" only mirrors
// it (-1) for whoever reads the settings.
class ServiceStatus {
 public:
  // Hands one record to the service manager; false when it is refused.
  using Reporter = std::function<bool(const SERVICE_STATUS&)>;

  explicit ServiceStatus(boost::property_tree::ptree& settings);

  // Once the control handler is registered. Until then reports fail.
  void connect(Reporter reporter);
  bool connected();

  void set_mode(int mode);
  bool stop_requested() const;

  // The first report carries check point 0, each later one the next number.
  // Once a stop was requested the service never says again that it starts
  // or runs: such a report is skipped and counts as made.
  bool report(DWORD state, DWORD wait_hint = kDefaultWaitHint);
  // The stopped state is handed to the manager once, never again and never
  // retried, even when refused: a second one may crash the process, and the
  // process may be ended at any moment after the first. Nothing is
  // reported after it.
  bool report_stopped(ServiceExit exit);
  // What must be done before the stopped report, such as writing the last
  // lines of the log: after that report the process may end at any moment.
  // A stop pending report whose wait hint covers the time they may take
  // comes first; whatever they raise, the stopped report follows.
  void before_stopped(std::function<void()> last_words, DWORD wait_hint);

  // The control handler's work, with the handler's answer. A stop, or the
  // system's shutdown, while starting or running stores the stop request and
  // reports stop pending; the service carries it out once the component has
  // been launched. Anything else changes nothing.
  DWORD on_control(DWORD control);

  // Signalled once a stop was requested, so that the service's thread can
  // sleep until then.
  HANDLE stop_event() const { return stop_event_.get(); }

  static constexpr DWORD kDefaultWaitHint = 5000;

 private:
  bool report_locked(DWORD state, ServiceExit exit, DWORD wait_hint);

  std::mutex mutex_;
  boost::property_tree::ptree& settings_;
  Reporter reporter_;
  std::function<void()> last_words_;
  DWORD last_words_hint_ = kDefaultWaitHint;
  SERVICE_STATUS record_{};
  bool reported_ = false;
  bool stopped_ = false;                // the stopped state was handed over
  platform::unique_handle stop_event_;  // the stop request, set once, never reset
};

}  // namespace vmrsmgr
