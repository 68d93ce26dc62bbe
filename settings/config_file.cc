#include <exception>
#include <fstream>
#include <iostream>
#include <locale>
#include <stdexcept>
#include <string>

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

}  // namespace

std::string Config::merge_config_file() {
  const boost::filesystem::path file(tree_.get<std::string>(keys::kConfigFile));
  // A missing file, or a directory in its place, leaves the other sources.
  if (!boost::filesystem::is_regular_file(file)) return {};

  try {
    const boost::property_tree::ptree parsed = parse_ini(file.string());
    // Merged into a copy: a rejected file adds nothing.
    boost::property_tree::ptree merged = tree_;
    for (const auto& section : parsed) {
      for (const auto& entry : section.second) {
        const std::string key = section.first + "." + entry.first;
        if (merged.get<std::string>(key, "").empty()) merged.put(key, entry.second.data());
      }
    }
    try {
      // The service would refuse these numbers; refused here, the file is
      // named with them.
      log_settings(merged);
    } catch (const std::invalid_argument& e) {
      return file.string() + ": " + e.what();
    }
    tree_.swap(merged);
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
  const LogSettings log = log_settings(tree_);
  files.log_folder = log.folder;
  files.log_file = log_file_path(log).string();
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
