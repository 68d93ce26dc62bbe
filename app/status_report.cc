#include "app/status_report.h"

#include <iostream>

#include <boost/property_tree/ptree.hpp>

#include "settings/keys.h"

namespace vmrsmgr {

const char* status_json(int status_code) {
  switch (status_code) {
    case 0:
      return R"({"service":"installed","status":"running"})";
    case 10:
      return R"({"service":"installed","status":"stopped"})";
    default:
      return R"({"service":"not installed or error during checking","status":"stopped"})";
  }
}

void print_status_report(int status_code, const boost::property_tree::ptree& settings) {
  if (settings.get_optional<int>(keys::kGui).value_or(0) != 1) return;
  // The front end finds the answer between two identical tag lines.
  constexpr const char* kTag = "---GUI_TAG_START_JSON---";
  std::cout << kTag << std::endl;
  std::cout << status_json(status_code) << std::endl;
  std::cout << kTag << std::endl;
}

}  // namespace vmrsmgr
