#include "settings/read_settings.h"

#include <cstdint>

#include <boost/property_tree/ptree.hpp>

#include "settings/keys.h"

namespace vmrsmgr {
namespace {

std::string required(const boost::property_tree::ptree& settings, const char* key) {
  return settings.get<std::string>(key, keys::kUndef);
}

std::string optional(const boost::property_tree::ptree& settings, const char* key) {
  return settings.get<std::string>(key, "");
}

}  // namespace

std::string service_name(const boost::property_tree::ptree& settings) {
  return required(settings, keys::kServiceName);
}

Credentials credentials(const boost::property_tree::ptree& settings) {
  return {required(settings, keys::kAccount), required(settings, keys::kPassword)};
}

ServiceDefinition service_definition(const boost::property_tree::ptree& settings) {
  return {service_name(settings), required(settings, keys::kDisplayName),
          required(settings, keys::kDescription), credentials(settings),
          optional(settings, keys::kZpc)};
}

std::string program_folder(const boost::property_tree::ptree& settings) {
  return optional(settings, keys::kCurrentPath);
}

ComponentCommand component_command(const boost::property_tree::ptree& settings) {
  const std::string folder = program_folder(settings) + optional(settings, keys::kWorkdir);
  return {folder, folder + optional(settings, keys::kExe), optional(settings, keys::kArgs)};
}

LogSettings log_settings(const boost::property_tree::ptree& settings) {
  return {settings.get<std::string>(keys::kLogDir), log_file_name(service_name(settings)),
          settings.get<std::uint64_t>(keys::kRotationSize),
          settings.get<std::uint64_t>(keys::kMaxLogs), settings.get<int>(keys::kDebug)};
}

int service_mode(const boost::property_tree::ptree& settings) {
  return settings.get<int>(keys::kMode, kModeNone);
}

bool gui_answer(const boost::property_tree::ptree& settings) {
  return settings.get<int>(keys::kGui, 0) == 1;
}

}  // namespace vmrsmgr
