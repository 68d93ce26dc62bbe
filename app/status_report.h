#pragma once

#include <boost/property_tree/ptree_fwd.hpp>

namespace vmrsmgr {

// The front end's JSON answer for a status code of Config::service_status.
const char* status_json(int status_code);

// After a status operation: the JSON answer between two tag lines on
// standard output when the command line asked for --mode GUI.
void print_status_report(int status_code, const boost::property_tree::ptree& settings);

}  // namespace vmrsmgr
