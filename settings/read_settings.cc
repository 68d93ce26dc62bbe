#include "settings/read_settings.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <system_error>

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ptree.hpp>

#include "settings/keys.h"

namespace vmrsmgr {
namespace {

// The built-in defaults of the logging settings.
constexpr const char* kDefaultLogFolder = "log";
constexpr std::uint64_t kDefaultRotationSize = 100 * 1024 * 1024;
constexpr std::uint64_t kDefaultMaxLogs = 9;
constexpr int kDefaultLevel = 0;

std::string required(const boost::property_tree::ptree& settings, const char* key) {
  return settings.get<std::string>(key, keys::kUndef);
}

std::string optional(const boost::property_tree::ptree& settings, const char* key) {
  return settings.get<std::string>(key, "");
}

// Decimal digits only, within the type: "-1" read as unsigned would be
// 2^64-1, no rotation and no limit.
template <typename Number>
Number number(const boost::property_tree::ptree& settings, const char* key, Number fallback) {
  const std::string text = optional(settings, key);
  if (text.empty()) return fallback;
  Number value{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.front() == '-' || error != std::errc() || stop != end) {
    throw std::invalid_argument(std::string(key) + " = " + text +
                                " is not a whole number from 0 to " +
                                std::to_string(std::numeric_limits<Number>::max()));
  }
  return value;
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
  LogSettings log;
  std::string folder = optional(settings, keys::kLogDir);
  if (folder.empty()) folder = kDefaultLogFolder;
  // The program's folder, never the current one, whoever started it.
  log.folder = boost::filesystem::absolute(folder, program_folder(settings)).string();
  log.file_name = log_file_name(service_name(settings));
  log.rotation_size = number(settings, keys::kRotationSize, kDefaultRotationSize);
  log.max_logs = number(settings, keys::kMaxLogs, kDefaultMaxLogs);
  log.level = number(settings, keys::kDebug, kDefaultLevel);
  return log;
}

int service_mode(const boost::property_tree::ptree& settings) {
  return settings.get<int>(keys::kMode, kModeNone);
}

bool gui_answer(const boost::property_tree::ptree& settings) {
  return settings.get<int>(keys::kGui, 0) == 1;
}

}  // namespace vmrsmgr
