#include "service_host/service_status.h"

#include <utility>

#include <boost/property_tree/ptree.hpp>
#include <boost/thread/locks.hpp>

#include "settings/keys.h"

namespace vmrsmgr {

using Lock = boost::lock_guard<boost::mutex>;

ServiceStatus::ServiceStatus(boost::property_tree::ptree& settings) : settings_(settings) {
  record_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  record_.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  record_.dwWaitHint = 5000;
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

int ServiceStatus::mode() {
  const Lock lock(mutex_);
  return settings_.get<int>(keys::kMode, kModeNone);
}

bool ServiceStatus::report(DWORD state) {
  const Lock lock(mutex_);
  return report_locked(state, kStoppedCleanly);
}

bool ServiceStatus::report_stopped(ServiceExit exit) {
  const Lock lock(mutex_);
  return report_locked(SERVICE_STOPPED, exit);
}

void ServiceStatus::on_control(DWORD control) {
  const Lock lock(mutex_);
  if (control != SERVICE_CONTROL_STOP || record_.dwCurrentState != SERVICE_RUNNING) return;
  settings_.put(keys::kMode, kModeNone);
  report_locked(SERVICE_STOP_PENDING, kStoppedCleanly);
}

bool ServiceStatus::report_locked(DWORD state, ServiceExit exit) {
  if (!reporter_) return false;
  if (reported_) ++record_.dwCheckPoint;
  reported_ = true;
  record_.dwCurrentState = state;
  record_.dwWin32ExitCode = exit.win32_exit_code;
  record_.dwServiceSpecificExitCode = exit.service_specific_exit_code;
  return reporter_(record_);
}

}  // namespace vmrsmgr
