#include "service_host/dispatcher.h"

#include <windows.h>

#include <iostream>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "platform/text.h"
#include "service_host/service_main.h"
#include "settings/config.h"
#include "settings/keys.h"

namespace vmrsmgr {

int run_service_dispatcher(Config& config) {
  std::wstring name =
      platform::to_wide(config.settings().get<std::string>(keys::kServiceName, keys::kUndef));
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) {
    std::cerr << "StartServiceCtrlDispatcher error" << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace vmrsmgr
