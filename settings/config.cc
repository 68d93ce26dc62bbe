#include "settings/config.h"

#include <utility>

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

}  // namespace vmrsmgr
