#include "app/program.h"

#include <exception>
#include <iostream>

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
    // The configuration file and the components are found relative to the
    // program's own folder, wherever it was started from. The wide path
    // survives any letter, which the narrow argv[0] may not.
    const std::string folder = platform::enter_folder_of(program_path);

    Config config("conf\\vmrsmgr.conf");
    g_config = &config;
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
