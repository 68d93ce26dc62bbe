#include <exception>
#include <iostream>
#include <locale>

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>

#include "settings/config.h"
#include "settings/keys.h"

namespace vmrsmgr {

int Config::read_config() {
  const boost::filesystem::path file(tree_.get<std::string>(keys::kConfigFile));
  // A missing file, or a directory in its place, leaves the other sources.
  if (!boost::filesystem::is_regular_file(file)) return 0;

  try {
    boost::property_tree::ptree parsed;
    boost::property_tree::read_ini(file.string(), parsed, std::locale());
    for (const auto& section : parsed) {
      for (const auto& entry : section.second) {
        const std::string key = section.first + "." + entry.first;
        const bool only_default = defaults_only_.erase(key) > 0;
        if (only_default || tree_.get<std::string>(key, "").empty()) {
          tree_.put(key, entry.second.data());
        }
      }
    }
  } catch (const std::exception& e) {
    std::cerr << "Error in Config::read_config: " << e.what() << std::endl;
    return -1;
  }
  return 0;
}

}  // namespace vmrsmgr
