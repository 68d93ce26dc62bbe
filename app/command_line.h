#pragma once

#include <boost/program_options/options_description.hpp>

namespace vmrsmgr {

// The options table in the order and layout that --help prints.
boost::program_options::options_description make_options_description();

}  // namespace vmrsmgr
