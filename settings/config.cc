#include "settings/config.h"

#include <utility>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include "settings/keys.h"

namespace vmrsmgr {

Config* g_config = nullptr;

Config::Config(std::string config_file) { tree_.put(keys::kConfigFile, std::move(config_file)); }

Config::~Config() = default;

bool Config::fill(const std::string& key, const std::string& value) {
  if (!tree_.get<std::string>(key, "").empty()) return false;
  tree_.put(key, value);
  return true;
}

std::string log_file_name(const boost::property_tree::ptree& settings) {
  return settings.get<std::string>(keys::kServiceName, keys::kUndef) + ".vmrsmgr.log";
}

std::string log_file_path(const boost::property_tree::ptree& settings) {
  const boost::filesystem::path folder =
      boost::filesystem::absolute(settings.get<std::string>(keys::kLogDir, "log"),
                                  settings.get<std::string>(keys::kCurrentPath, ""));
  return (folder / log_file_name(settings)).string();
}

void Config::fill_default(const std::string& key, const std::string& value) {
  if (fill(key, value)) defaults_only_.insert(key);
}

}  // namespace vmrsmgr
