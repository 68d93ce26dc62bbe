#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "logging/logger.h"
#include "settings/service_settings.h"

namespace vmrsmgr {

// The one object of an invocation: the settings tree through which every
// operation hands over its inputs and results, and the process's Logger.
class Config {
 public:
  explicit Config(std::string config_file);
  virtual ~Config();
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;

  // 1 when the command line was taken, -1 on any error (message written).
  virtual int parse_command_line(int argc, const char* const argv[]);
  // Fills the component profile of "service-name"; 0, or -1 (message
  // written) when the control component's ZPC is missing or not valid.
  virtual int prepare_profile();
  // Merges conf\vmrsmgr.conf; 0 when merged or absent, -1 on a bad file
  // (a syntax error or a logging number log_settings refuses), with the
  // cause on standard error.
  int read_config();
  // What read_config wrote on standard error after its prefix, for the
  // service's log; empty when the file was merged.
  const std::string& config_error() const { return config_error_; }
  // What the file merged last holds that nobody reads, one line each.
  const std::vector<std::string>& config_notices() const { return config_notices_; }
  // The lines of a service's log after its start line: the program's
  // version and path, then config_notices().
  void log_start_notes(const std::string& program_path);
  // What the service process of "service-name" finds when it starts: the
  // configuration file merged quietly (its problem, if any, as read_config
  // words it), its log folder and file, and its component.
  ServiceFiles service_files();
  // The same from the settings as they stand, the file merged already with
  // this problem (empty when it was taken).
  ServiceFiles files_found(const std::string& config_problem) const;

  // Service operations; each returns its result code (the exit code).
  int install_service();
  int uninstall_service();
  int start_service();
  int stop_service();
  int service_status();

  boost::property_tree::ptree& settings() { return tree_; }
  const boost::property_tree::ptree& settings() const { return tree_; }
  Logger& logger() { return logger_; }

  // Fill-if-empty: stores value under key only when the key is missing or
  // holds the empty text. Returns whether it stored.
  bool fill(const std::string& key, const std::string& value);

 private:
  // read_config without the message: the cause of a bad file, or empty.
  std::string merge_config_file();
  std::string config_error_;
  std::vector<std::string> config_notices_;

  boost::property_tree::ptree tree_;
  Logger logger_;
};

// Set by main right after constructing its Config and never changed: the
// service entry and the control handler get no context argument.
extern Config* g_config;

}  // namespace vmrsmgr
