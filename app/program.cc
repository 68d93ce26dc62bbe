#include "app/program.h"

#include <exception>
#include <iostream>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include "app/account_check.h"
#include "app/status_report.h"
#include "service_host/dispatcher.h"
#include "settings/config.h"
#include "settings/keys.h"

namespace vmrsmgr {
namespace {

int run_operation(Config& config, int mode) {
  switch (mode) {
    case kModeUsercheck:
      return check_account(config.settings());
    case kModeRun:
      return run_service_dispatcher(config);
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
  try {
    // The configuration file and the components are found relative to the
    // program's own folder, wherever it was started from.
    if (argc > 0) {
      const boost::filesystem::path folder = boost::filesystem::path(argv[0]).parent_path();
      if (!folder.empty()) boost::filesystem::current_path(folder);
    }

    Config config("conf\\vmrsmgr.conf");
    g_config = &config;
    config.settings().put(keys::kCurrentPath, boost::filesystem::current_path().string());

    if (config.parse_command_line(argc, argv) == -1) return 1;
    if (config.prepare_profile() == -1) return 1;
    const int mode = config.settings().get_optional<int>(keys::kMode).value_or(kModeNone);
    return run_operation(config, mode);
  } catch (const std::exception& e) {
    std::cerr << "Error: " << e.what() << std::endl;
    return 1;
  }
}

}  // namespace vmrsmgr
