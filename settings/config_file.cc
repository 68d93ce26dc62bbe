#include <charconv>
#include <cstdint>
#include <exception>
#include <fstream>
#include <iostream>
#include <limits>
#include <locale>
#include <set>
#include <string>
#include <system_error>

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>

#include "settings/config.h"
#include "settings/keys.h"
#include "settings/read_settings.h"

namespace vmrsmgr {
namespace {

using boost::property_tree::ini_parser::ini_parser_error;

// Notepad starts a file saved as UTF-8 with these bytes.
void skip_byte_order_mark(std::istream& in) {
  char start[3] = {};
  in.read(start, sizeof start);
  if (in.gcount() == 3 && start[0] == '\xEF' && start[1] == '\xBB' && start[2] == '\xBF') return;
  in.clear();
  in.seekg(0);
}

// The INI reader's own file version, which reads a byte-order mark as part
// of the first line.
boost::property_tree::ptree parse_ini(const std::string& file) {
  std::ifstream in(file);
  if (!in) throw ini_parser_error("cannot open file", file, 0);
  in.imbue(std::locale());
  skip_byte_order_mark(in);
  boost::property_tree::ptree parsed;
  try {
    boost::property_tree::read_ini(in, parsed);
  } catch (const ini_parser_error& e) {
    throw ini_parser_error(e.message(), file, e.line());
  }
  return parsed;
}

// Decimal digits only, within the type: "-1" read as unsigned would be
// 2^64-1, no rotation and no limit.
template <typename Number>
bool in_range(const std::string& text) {
  Number value{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return !text.empty() && text.front() != '-' && error == std::errc() && stop == end;
}

std::string range_error(const char* key, const std::string& value, std::uint64_t max) {
  return std::string(key) + " = " + value + " is not a whole number from 0 to " +
         std::to_string(max);
}

}  // namespace

std::string bad_logging_number(const boost::property_tree::ptree& settings) {
  // An empty value is filled with the default later.
  const auto value = [&settings](const char* key) { return settings.get<std::string>(key, ""); };
  for (const char* key : {keys::kRotationSize, keys::kMaxLogs}) {
    const std::string text = value(key);
    if (!text.empty() && !in_range<std::uint64_t>(text)) {
      return range_error(key, text, std::numeric_limits<std::uint64_t>::max());
    }
  }
  const std::string debug = value(keys::kDebug);
  if (!debug.empty() && !in_range<int>(debug)) {
    return range_error(keys::kDebug, debug, std::numeric_limits<int>::max());
  }
  return {};
}

std::string Config::merge_config_file() {
  const boost::filesystem::path file(tree_.get<std::string>(keys::kConfigFile));
  // A missing file, or a directory in its place, leaves the other sources.
  if (!boost::filesystem::is_regular_file(file)) return {};

  try {
    const boost::property_tree::ptree parsed = parse_ini(file.string());
    // Merged into a copy: a rejected file adds nothing.
    boost::property_tree::ptree merged = tree_;
    std::set<std::string> replaced_defaults;
    for (const auto& section : parsed) {
      for (const auto& entry : section.second) {
        const std::string key = section.first + "." + entry.first;
        const bool only_default = defaults_only_.count(key) > 0;
        if (only_default || merged.get<std::string>(key, "").empty()) {
          merged.put(key, entry.second.data());
          if (only_default) replaced_defaults.insert(key);
        }
      }
    }
    const std::string bad = bad_logging_number(merged);
    if (!bad.empty()) return file.string() + ": " + bad;
    tree_.swap(merged);
    for (const std::string& key : replaced_defaults) defaults_only_.erase(key);
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

ServiceFiles Config::service_files() {
  ServiceFiles files;
  try {
    files.config_problem = merge_config_file();
  } catch (const std::exception& e) {
    files.config_problem = e.what();
  }
  // A refused file leaves the defaults, which the service then uses too.
  const std::string program = program_folder(tree_);
  try {
    const LogSettings log = log_settings(tree_);
    const boost::filesystem::path folder = boost::filesystem::absolute(log.folder, program);
    files.log_folder = folder.string();
    files.log_file = (folder / log.file_name).string();
  } catch (const std::exception&) {
    // No log settings: nothing to name.
  }
  files.command = component_command(tree_);
  return files;
}

int Config::read_config() {
  config_error_ = merge_config_file();
  if (config_error_.empty()) return 0;
  std::cerr << "Error in Config::read_config: " << config_error_ << std::endl;
  return -1;
}

}  // namespace vmrsmgr
