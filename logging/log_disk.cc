#include "logging/log_disk.h"

#include <boost/filesystem/operations.hpp>

namespace vmrsmgr {

boost::system::error_code LogDisk::remove(const boost::filesystem::path& path) {
  boost::system::error_code error;
  boost::filesystem::remove(path, error);
  return error;
}

}  // namespace vmrsmgr
