#include "service_host/service_main.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <iostream>
#include <string>
#include <system_error>

#include <boost/property_tree/ptree.hpp>

#include "logging/log_settings.h"
#include "platform/event_log.h"
#include "platform/executable_path.h"
#include "platform/last_error.h"
#include "platform/text.h"
#include "service_control/start_failure.h"
#include "service_host/service_events.h"
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

// The one report of the stopped state, whichever way the run ended. A run
// that ended before its handler was registered registers it now, so that
// the manager, its event log and whoever waits learn why. After this report
// Windows may end the process at any moment.
void report_stopped(ServiceStatus& status, const std::string& service_name, ServiceExit exit) {
  try {
    if (!status.connected()) register_handler(status, service_name);
  } catch (...) {
    // Then no report can be made.
  }
  status.report_stopped(exit);
}

// The final drain of the log takes at most its limit: the stop pending report
// before it says so, with room to spare.
constexpr DWORD kLastWordsHintMs =
    static_cast<DWORD>(std::chrono::milliseconds(Logger::kDrainLimit).count()) + 2000;

// From the stop request on, a line that finds the log's hand-over full waits
// at most this long and is then counted as lost: a log that cannot keep up
// must not hold up the stop, whose check point moves every second.
constexpr std::chrono::milliseconds kStopLogWait{200};

// The run of one service: the settings of the service named by the manager,
// its log, its registration, then its component. The exit codes its stop
// reports.
// What the service found is kept in files, for the report of a failed start.
ServiceExit serve(Config& config, ServiceStatus& status, ServiceEvents& events, ServiceFiles& files,
                  DWORD argc, LPWSTR* argv) {
  boost::property_tree::ptree& settings = config.settings();
  // A relative log folder and the components are found from the program's
  // own folder, whatever the service manager started it in; without it the
  // configuration file and the log cannot be found either.
  try {
    settings.put(keys::kCurrentPath, platform::enter_folder_of(platform::executable_path()));
  } catch (const std::system_error& e) {
    std::cerr << "Error: " << e.what() << std::endl;
    const int code = e.code().value();
    return stopped_by(code > 0 ? static_cast<std::uint32_t>(code)
                               : exit_code_of(StartFailure::kProgramFolder));
  }
  if (argc == 0) return kStoppedOnError;
  settings.put(keys::kServiceName, platform::to_narrow(argv[0]));
  status.set_mode(kModeRun);

  const bool config_read = config.read_config() == 0;
  if (!config_read) std::cerr << "There is a problem with config file" << std::endl;
  if (config.prepare_profile() == -1) return kStoppedOnError;
  // The profile may have formed the name anew from the ZPC.
  const std::string name = service_name(settings);
  // Before the control handler, which writes into the settings, is there.
  files = config.files_found(config.config_error());

  // A rejected configuration file leaves the defaults, so that its problem
  // still reaches a log, where --start names it too.
  Logger& log = config.logger();
  const LogSettings log_to = log_settings(settings);
  log.observe(events.log_observer());
  if (log.start(log_to) == -1) {
    if (log.start_error() != 0) {
      events.log_not_opened(log_file_path(log_to).string(),
                            platform::system_message(log.start_error()));
    }
    if (!config_read) return stopped_by(exit_code_of(StartFailure::kConfigurationFile));
    return log.start_error() != 0 ? stopped_by(log.start_error()) : kStoppedOnError;
  }
  log.log("=== starting service vmrsmgr ===");
  config.log_start_notes(platform::to_narrow(platform::executable_path()));
  if (!config_read) {
    log.log("Error in Config::read_config: " + config.config_error());
    return stopped_by(exit_code_of(StartFailure::kConfigurationFile));
  }
  const bool registered = register_handler(status, name);
  log.debug("ServiceMain starting");
  if (!registered) return kStoppedOnError;
  if (!status.report(SERVICE_START_PENDING)) {
    log.error("Setting service status start pending");
    return kStoppedOnError;
  }

  const ComponentCommand command = component_command(settings);
  log.debug(command.command_line());
  return run_component(log, status, events, command);
}

// A run that ended before its component ran, or with a failure of the
// service's own, tells the event log why, as --start would; the component's
// own end was told already.
void report_failed_start(ServiceEvents& events, ServiceExit exit, const ServiceFiles& files) {
  if (exit.win32_exit_code == NO_ERROR || exit.win32_exit_code == kServiceSpecificError) return;
  const StopCause cause =
      cause_of_stop(exit.win32_exit_code, exit.service_specific_exit_code, files);
  events.start_failed(exit.win32_exit_code, cause.line, cause.at_fault, files.log_file);
}

}  // namespace

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  Config& config = *g_config;
  ServiceStatus* status = nullptr;
  ServiceEvents* events = nullptr;
  ServiceFiles files;
  ServiceExit exit = kStoppedOnError;
  try {
    // The event log first: it tells why a service stopped even when its log
    // cannot be opened. Both outlive the logger's thread, which tells them
    // its troubles.
    static const std::unique_ptr<platform::EventSink> sink =
        platform::open_event_source(argc > 0 ? platform::to_narrow(argv[0]) : std::string());
    static ServiceEvents service_events(*sink);
    events = &service_events;
    // The handler gets it as its context: it lives as long as the process.
    static ServiceStatus record(config.settings());
    // Every line logged so far is on disk before Windows may end the process.
    record.before_stopped([&config] { config.logger().drain(); }, kLastWordsHintMs);
    status = &record;
    exit = serve(config, record, service_events, files, argc, argv);
  } catch (const std::exception& e) {
    try {
      config.logger().error(e.what());
    } catch (...) {
      // The reason is lost; the stop is still reported.
    }
  } catch (...) {
    // Nothing may leave a callback of the service manager.
  }
  if (status == nullptr) return;
  try {
    if (events != nullptr) report_failed_start(*events, exit, files);
  } catch (...) {
    // The event is lost; the stop is still reported.
  }
  try {
    report_stopped(*status, service_name(config.settings()), exit);
  } catch (...) {
    // Nothing may leave a callback of the service manager.
  }
}

DWORD WINAPI service_control_handler(DWORD control, DWORD, LPVOID, LPVOID context) {
  try {
    auto& status = *static_cast<ServiceStatus*>(context);
    const DWORD answer = status.on_control(control);
    // Here, not in the service's loop: that loop may be waiting on the log.
    if (status.stop_requested()) g_config->logger().limit_waits(kStopLogWait);
    return answer;
  } catch (...) {
    // Nothing may leave a callback of the service manager.
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

}  // namespace vmrsmgr
