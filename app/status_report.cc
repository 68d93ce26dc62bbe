#include "app/status_report.h"

#include <iostream>

#include "service_control/status_code.h"
#include "settings/read_settings.h"

namespace vmrsmgr {

const char* status_json(int status_code) {
  switch (status_code) {
    case kStatusRunning:
      return R"({"service":"installed","status":"running"})";
    case kStatusStopped:
      return R"({"service":"installed","status":"stopped"})";
    default:
      return R"({"service":"not installed or error during checking","status":"stopped"})";
  }
}

void print_status_report(int status_code, const boost::property_tree::ptree& settings) {
  if (!gui_answer(settings)) return;
  // The front end finds the answer between two identical tag lines.
  constexpr const char* kTag = "---GUI_TAG_START_JSON---";
  std::cout << kTag << std::endl;
  std::cout << status_json(status_code) << std::endl;
  std::cout << kTag << std::endl;
}

}  // namespace vmrsmgr
