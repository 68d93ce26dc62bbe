#include "service_host/service_main.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/thread/thread.hpp>

#include "platform/executable_path.h"
#include "platform/text.h"
#include "service_host/process_tree.h"
#include "service_host/runner.h"
#include "service_host/service_status.h"
#include "service_host/supervision.h"
#include "settings/config.h"
#include "settings/keys.h"

namespace vmrsmgr {
namespace {

namespace fs = boost::filesystem;
using boost::property_tree::ptree;

std::atomic<ServiceStatus*> g_status{nullptr};

// A relative log folder and the components are found from the program's own
// folder, whatever the service manager started it in.
void enter_program_folder(ptree& settings) {
  const std::wstring path = platform::executable_path();
  if (!path.empty()) fs::current_path(fs::path(path).parent_path());
  settings.put(keys::kCurrentPath, fs::current_path().string());
}

bool register_handler(ServiceStatus& status, const ptree& settings) {
  const std::wstring name =
      platform::to_wide(settings.get<std::string>(keys::kServiceName, keys::kUndef));
  const SERVICE_STATUS_HANDLE handle =
      ::RegisterServiceCtrlHandlerW(name.c_str(), service_control_handler);
  if (handle == nullptr) return false;
  status.connect([handle](const SERVICE_STATUS& record) {
    SERVICE_STATUS copy = record;
    return ::SetServiceStatus(handle, &copy) != FALSE;
  });
  return true;
}

// A start that cannot go on still ends in the stopped state, so that the
// manager and whoever waits on it learn of the failure.
void give_up(ServiceStatus& status, const ptree& settings) {
  if (!status.connected()) register_handler(status, settings);
  status.report_stopped(kStoppedOnError);
}

void end_own_process_tree() { end_process_tree(::GetCurrentProcessId()); }

// Logs the component's output until it has ended and all of it is logged;
// ends the process tree at a stop request. Whether a stop was requested.
bool supervise(Logger& log, ServiceStatus& status, Runner& runner) {
  bool stop_requested = false;
  std::string message;
  while (!runner.finished() || runner.pending() != 0) {
    if (status.mode() == kModeNone) {
      log.debug("Stopping service");
      stop_requested = true;
      runner.finish();
      status.report(SERVICE_STOP_PENDING);
      end_own_process_tree();
    }
    const std::string output = runner.take_output();
    if (output.empty()) boost::this_thread::sleep_for(boost::chrono::milliseconds(100));
    for (const std::string_view piece : split_output_for_log(output)) {
      message.assign(kOutputPrefix).append(piece);
      log.trace(message);
    }
  }
  return stop_requested;
}

// Runs the component until it ends or a stop is requested; the exit codes to
// report. The runner's thread has ended when this returns.
ServiceExit run_component(Logger& log, ServiceStatus& status, const ChildCommand& child) {
  Runner runner(child.command, child.folder);
  try {
    runner.start();
    if (!status.report(SERVICE_RUNNING)) {
      log.error("Setting service status running");
      end_own_process_tree();
      return kStoppedOnError;
    }
    log.debug("Service is running");
    const bool stop_requested = supervise(log, status, runner);
    log.debug("Service stopped");
    return exit_after_component(stop_requested, runner.wait());
  } catch (...) {
    // The component must not outlive the service that cannot watch it.
    end_own_process_tree();
    throw;
  }
}

void serve(Config& config, ServiceStatus& status, DWORD argc, LPWSTR* argv) {
  ptree& settings = config.settings();
  enter_program_folder(settings);
  if (argc == 0) return;
  settings.put(keys::kServiceName, platform::to_narrow(argv[0]));
  status.set_mode(kModeRun);

  if (config.read_config() == -1) {
    std::cerr << "There is a problem with config file" << std::endl;
    return give_up(status, settings);
  }
  if (config.prepare_profile() == -1) return give_up(status, settings);

  Logger& log = config.logger();
  const std::string name = settings.get<std::string>(keys::kServiceName, keys::kUndef);
  if (log.start(name + ".vmrsmgr.log", settings.get<std::string>(keys::kLogDir),
                settings.get<std::uint64_t>(keys::kRotationSize),
                settings.get<std::uint64_t>(keys::kMaxLogs),
                settings.get<int>(keys::kDebug)) == -1) {
    return give_up(status, settings);
  }
  log.log("=== starting service vmrsmgr ===");
  const bool registered = register_handler(status, settings);
  log.debug("ServiceMain starting");
  if (!registered) return;
  if (!status.report(SERVICE_START_PENDING)) return;

  const ChildCommand child = child_command(settings);
  log.debug(child.command);
  status.report_stopped(run_component(log, status, child));
}

}  // namespace

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  Config& config = *g_config;
  // The plain handler gets no context; it finds the status here, which lives
  // as long as the process.
  static ServiceStatus status(config.settings());
  g_status = &status;
  try {
    try {
      serve(config, status, argc, argv);
    } catch (const std::exception& e) {
      config.logger().error(e.what());
      give_up(status, config.settings());
    }
  } catch (...) {
    // Nothing may leave a callback of the service manager.
    status.report_stopped(kStoppedOnError);
  }
}

void WINAPI service_control_handler(DWORD control) {
  try {
    ServiceStatus* status = g_status;
    if (status != nullptr) status->on_control(control);
  } catch (...) {
    // Nothing may leave a callback of the service manager.
  }
}

}  // namespace vmrsmgr
