#include "service_host/dispatcher.h"

#include <windows.h>

#include <iostream>

#include "platform/text.h"
#include "service_host/service_main.h"

namespace vmrsmgr {

int run_service_dispatcher(const std::string& service_name) {
  std::wstring name = platform::to_wide(service_name);
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) {
    std::cerr << "StartServiceCtrlDispatcher error" << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace vmrsmgr
