#include "app/command_line.h"

#include <exception>
#include <iostream>
#include <string>

#include <boost/program_options/parsers.hpp>
#include <boost/program_options/variables_map.hpp>

#include "generated/version.h"
#include "settings/config.h"
#include "settings/keys.h"
#include "settings/profile.h"

namespace po = boost::program_options;

namespace vmrsmgr {
namespace {

constexpr const char* kAccountMissing =
    "Error: argument account must be set for service installation ";
constexpr const char* kPasswordMissing =
    "Error: argument password must be set for service installation ";

}  // namespace

po::options_description make_options_description() {
  po::options_description options("vmrsmgr tool, windows service tool", 80, 40);
  const auto text = [] { return po::value<std::string>(); };
  // clang-format off
  options.add_options()
      ("install,c", text(), "Install service\n(This option will require --account and --password)")
      ("uninstall,r", text(), "Uninstall the service")
      ("start", text(), "Start the service")
      ("stop", text(), "Stop the service")
      ("status", text(), "Show status of service")
      ("mode", text(), "GUI")
      ("run,s", text(), "run")
      ("help,h", "Using this parameter will show this help message")
      ("zpc,d", text(), "ZPC (only for reduze)")
      ("version,V", "This will display the Vmrsmgr Version")
      ("usercheck", "Checks username and password")
      ("account,u", text(), "Windows account that will install and run the service")
      ("password,p", text(), "Password that will be used for the user that will run the service");
  // clang-format on
  return options;
}

int Config::parse_command_line(int argc, const char* const argv[]) {
  try {
    const po::options_description options = make_options_description();
    po::variables_map vm;
    po::store(po::parse_command_line(argc, argv, options), vm);
    po::notify(vm);

    const auto value = [&vm](const char* name) { return vm[name].as<std::string>(); };
    const auto has = [&vm](const char* name) { return vm.count(name) > 0; };

    // Install and usercheck both need an account and its password.
    const auto store_credentials = [&]() {
      if (!has("account")) {
        std::cerr << kAccountMissing << std::endl;
        return false;
      }
      tree_.put(keys::kAccount, value("account"));
      if (!has("password")) {
        std::cerr << kPasswordMissing << std::endl;
        return false;
      }
      tree_.put(keys::kPassword, value("password"));
      return true;
    };

    if (has("help") || vm.empty()) std::cout << options << std::flush;

    if (has("install")) {
      tree_.put(keys::kMode, static_cast<int>(kModeInstall));
      tree_.put(keys::kServiceName, value("install"));
      const std::string name = tree_.get<std::string>(keys::kServiceName, "");
      if (!is_component(name)) return -1;
      if (!store_credentials()) return -1;
    }

    if (has("zpc")) tree_.put(keys::kZpc, value("zpc"));

    // The last operation option present decides the mode and the name.
    static constexpr struct {
      const char* option;
      ServiceMode mode;
    } kOperations[] = {{"uninstall", kModeUninstall},
                       {"start", kModeStart},
                       {"stop", kModeStop},
                       {"status", kModeStatus},
                       {"run", kModeRun}};
    for (const auto& op : kOperations) {
      if (!has(op.option)) continue;
      tree_.put(keys::kMode, static_cast<int>(op.mode));
      tree_.put(keys::kServiceName, value(op.option));
    }

    tree_.put(keys::kGui, has("mode") && value("mode") == "GUI" ? 1 : 0);

    if (has("usercheck")) {
      tree_.put(keys::kMode, static_cast<int>(kModeUsercheck));
      if (!store_credentials()) return -1;
    }

    if (has("version")) {
      std::cout << kVersionText << std::endl;
      tree_.put(keys::kMode, static_cast<int>(kModeNone));
    }
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "Error: " << e.what() << std::endl;
    return -1;
  }
}

}  // namespace vmrsmgr
