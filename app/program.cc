#include "app/program.h"

#include <exception>
#include <iostream>
#include <string>
#include <system_error>

#include "app/account_check.h"
#include "app/status_report.h"
#include "platform/console.h"
#include "platform/executable_path.h"
#include "service_host/dispatcher.h"
#include "settings/config.h"
#include "settings/keys.h"
#include "settings/read_settings.h"

namespace vmrsmgr {
namespace {

int run_operation(Config& config, int mode) {
  switch (mode) {
    case kModeUsercheck:
      return check_account(credentials(config.settings()));
    case kModeRun:
      return run_service_dispatcher(service_name(config.settings()));
    case kModeInstall:
      return config.install_service();
    case kModeUninstall:
      return config.uninstall_service();
    case kModeStart:
      return config.start_service();
    case kModeStop:
      return config.stop_service();
    case kModeStatus: {
      const int code = config.service_status();
      print_status_report(code, config.settings());
      return code;
    }
    default:
      return 1;
  }
}

}  // namespace

int run_program(int argc, const char* const argv[]) {
  const platform::ConsoleTextOutput console;
  return run_program(argc, argv, platform::executable_path());
}

int run_program(int argc, const char* const argv[], const std::wstring& program_path) {
  try {
    Config config("conf\\vmrsmgr.conf");
    g_config = &config;
    // The configuration file and the components are found relative to the
    // program's own folder, wherever it was started from. The wide path
    // survives any letter, which the narrow argv[0] may not.
    std::string folder;
    try {
      folder = platform::enter_folder_of(program_path);
    } catch (const std::system_error& e) {
      // Started by the service manager ("<program>" -s <name>), the service
      // itself reports why it cannot run, so that the manager learns it.
      if (argc == 3 && std::string(argv[1]) == "-s") return run_service_dispatcher(argv[2]);
      throw;
    }
    config.settings().put(keys::kCurrentPath, folder);

    if (config.parse_command_line(argc, argv) == -1) return 1;
    if (config.prepare_profile() == -1) return 1;
    return run_operation(config, service_mode(config.settings()));
  } catch (const std::exception& e) {
    std::cerr << "Error: " << e.what() << std::endl;
    return 1;
  }
}

}  // namespace vmrsmgr
