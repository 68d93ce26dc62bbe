#include "service_host/service_main.h"

#include <exception>
#include <iostream>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "platform/executable_path.h"
#include "platform/text.h"
#include "service_host/service_status.h"
#include "service_host/supervision.h"
#include "settings/config.h"
#include "settings/keys.h"
#include "settings/read_settings.h"

namespace vmrsmgr {
namespace {

bool register_handler(ServiceStatus& status, const std::string& service_name) {
  const std::wstring name = platform::to_wide(service_name);
  const SERVICE_STATUS_HANDLE handle =
      ::RegisterServiceCtrlHandlerExW(name.c_str(), service_control_handler, &status);
  if (handle == nullptr) return false;
  status.connect([handle](const SERVICE_STATUS& record) {
    SERVICE_STATUS copy = record;
    return ::SetServiceStatus(handle, &copy) != FALSE;
  });
  return true;
}

// A start that cannot go on still ends in the stopped state, with the
// reason as its exit code, so that the manager, its event log and whoever
// waits on it learn of the failure.
void give_up(ServiceStatus& status, const std::string& service_name,
             ServiceExit exit = kStoppedOnError) {
  if (!status.connected()) register_handler(status, service_name);
  status.report_stopped(exit);
}

// The run of one service: the settings of the service named by the manager,
// its log, its registration, then its component.
void serve(Config& config, ServiceStatus& status, DWORD argc, LPWSTR* argv) {
  boost::property_tree::ptree& settings = config.settings();
  // A relative log folder and the components are found from the program's
  // own folder, whatever the service manager started it in.
  settings.put(keys::kCurrentPath, platform::enter_folder_of(platform::executable_path()));
  if (argc == 0) return;
  settings.put(keys::kServiceName, platform::to_narrow(argv[0]));
  status.set_mode(kModeRun);

  if (config.read_config() == -1) {
    std::cerr << "There is a problem with config file" << std::endl;
    return give_up(status, service_name(settings), stopped_by(ERROR_BAD_CONFIGURATION));
  }
  if (config.prepare_profile() == -1) return give_up(status, service_name(settings));
  // The profile may have formed the name anew from the ZPC.
  const std::string name = service_name(settings);

  Logger& log = config.logger();
  if (log.start(log_settings(settings)) == -1) {
    return give_up(status, name,
                   log.start_error() != 0 ? stopped_by(log.start_error()) : kStoppedOnError);
  }
  log.log("=== starting service vmrsmgr ===");
  const bool registered = register_handler(status, name);
  log.debug("ServiceMain starting");
  if (!registered) return;
  if (!status.report(SERVICE_START_PENDING)) return;

  const ComponentCommand command = component_command(settings);
  log.debug(command.command_line());
  status.report_stopped(run_component(log, status, command));
}

}  // namespace

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  Config& config = *g_config;
  ServiceStatus* status = nullptr;
  try {
    // The handler gets it as its context: it lives as long as the process.
    static ServiceStatus record(config.settings());
    status = &record;
    try {
      serve(config, record, argc, argv);
    } catch (const std::exception& e) {
      config.logger().error(e.what());
      give_up(record, service_name(config.settings()));
    }
  } catch (...) {
    // Nothing may leave a callback of the service manager.
    if (status != nullptr) status->report_stopped(kStoppedOnError);
  }
}

DWORD WINAPI service_control_handler(DWORD control, DWORD, LPVOID, LPVOID context) {
  try {
    return static_cast<ServiceStatus*>(context)->on_control(control);
  } catch (...) {
    // Nothing may leave a callback of the service manager.
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

}  // namespace vmrsmgr
