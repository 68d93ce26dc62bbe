#include "service_host/service_status.h"

#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "service_control/start_failure.h"
#include "settings/keys.h"

namespace vmrsmgr {

using Lock = std::lock_guard<std::mutex>;

ServiceExit exit_after_component(bool stop_requested, std::uint32_t component_exit_code) {
  if (stop_requested) return kStoppedCleanly;
  if (component_exit_code == 0) return {NO_ERROR, kEndedByItself};
  return {kServiceSpecificError, component_exit_code};
}

ServiceStatus::ServiceStatus(boost::property_tree::ptree& settings)
    : settings_(settings), stop_event_(platform::new_event(true)) {
  record_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  // Pre-shutdown gives a stop the time it needs when the system goes down.
  record_.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;
  record_.dwWaitHint = kDefaultWaitHint;
}

void ServiceStatus::connect(Reporter reporter) {
  const Lock lock(mutex_);
  reporter_ = std::move(reporter);
}

bool ServiceStatus::connected() {
  const Lock lock(mutex_);
  return static_cast<bool>(reporter_);
}

void ServiceStatus::set_mode(int mode) {
  const Lock lock(mutex_);
  settings_.put(keys::kMode, mode);
}

bool ServiceStatus::stop_requested() const {
  return ::WaitForSingleObject(stop_event_.get(), 0) == WAIT_OBJECT_0;
}

bool ServiceStatus::report(DWORD state, DWORD wait_hint) {
  const Lock lock(mutex_);
  if ((state == SERVICE_START_PENDING || state == SERVICE_RUNNING) && stop_requested()) return true;
  return report_locked(state, kStoppedCleanly, wait_hint);
}

bool ServiceStatus::report_stopped(ServiceExit exit) {
  if (last_words_) {
    {
      const Lock lock(mutex_);
      if (reported_) report_locked(SERVICE_STOP_PENDING, kStoppedCleanly, last_words_hint_);
    }
    // Outside the lock: the control handler is answered meanwhile.
    try {
      last_words_();
    } catch (...) {
      // They are lost; the stop must still be reported, or the dispatcher
      // never returns.
    }
  }
  const Lock lock(mutex_);
  return report_locked(SERVICE_STOPPED, exit, kDefaultWaitHint);
}

void ServiceStatus::before_stopped(std::function<void()> last_words, DWORD wait_hint) {
  last_words_ = std::move(last_words);
  last_words_hint_ = wait_hint;
}

DWORD ServiceStatus::on_control(DWORD control) {
  const Lock lock(mutex_);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN:
      break;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
  // Stopping or stopped already: the request is being carried out.
  if (stop_requested() || record_.dwCurrentState == SERVICE_STOPPED) return NO_ERROR;
  ::SetEvent(stop_event_.get());
  settings_.put(keys::kMode, kModeNone);
  if (reported_) report_locked(SERVICE_STOP_PENDING, kStoppedCleanly, kDefaultWaitHint);
  return NO_ERROR;
}

bool ServiceStatus::report_locked(DWORD state, ServiceExit exit, DWORD wait_hint) {
  if (!reporter_ || stopped_) return false;
  stopped_ = state == SERVICE_STOPPED;
  if (reported_) ++record_.dwCheckPoint;
  reported_ = true;
  record_.dwCurrentState = state;
  record_.dwWin32ExitCode = exit.win32_exit_code;
  record_.dwServiceSpecificExitCode = exit.service_specific_exit_code;
  record_.dwWaitHint = wait_hint;
  if (reporter_(record_)) return true;
  // Systems without pre-shutdown refuse it; the shutdown notice serves there.
  if (stopped_ || (record_.dwControlsAccepted & SERVICE_ACCEPT_PRESHUTDOWN) == 0) return false;
  record_.dwControlsAccepted =
      (record_.dwControlsAccepted & ~DWORD{SERVICE_ACCEPT_PRESHUTDOWN}) | SERVICE_ACCEPT_SHUTDOWN;
  return reporter_(record_);
}

}  // namespace vmrsmgr
