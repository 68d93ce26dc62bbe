#pragma once

#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "logging/log_settings.h"
#include "settings/service_settings.h"

// The one place where each key of the settings tree is read, and where each
// setting has its built-in default: a value that the command line, the
// service entry or the configuration file left missing or empty takes it. A
// value that must come from the user or a profile reads as the text undef
// when it is missing, and reaches Windows so.
namespace vmrsmgr {

std::string service_name(const boost::property_tree::ptree& settings);
Credentials credentials(const boost::property_tree::ptree& settings);
ServiceDefinition service_definition(const boost::property_tree::ptree& settings);
// "current_path" joined with "workdir", "exe" and "args".
ComponentCommand component_command(const boost::property_tree::ptree& settings);
// The logging keys, each number parsed here only: its default when empty,
// otherwise decimal digits within its type, or a std::invalid_argument that
// names the key and its value. The log folder comes resolved against the
// program's folder, unless it is a full path.
LogSettings log_settings(const boost::property_tree::ptree& settings);
// The service mode; the stop request (-1) also when missing or not a number.
int service_mode(const boost::property_tree::ptree& settings);
// Whether the command line asked for the front end's answer (--mode GUI).
bool gui_answer(const boost::property_tree::ptree& settings);
// The folder of the program, which relative paths start from.
std::string program_folder(const boost::property_tree::ptree& settings);

}  // namespace vmrsmgr
