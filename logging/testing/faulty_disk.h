#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>
#include <set>
#include <string>

#include <boost/system/errc.hpp>

#include "logging/log_disk.h"

namespace vmrsmgr::testing {

// A disk whose room runs out and whose old logs may refuse to go, changed by
// the test while the logger's thread writes: a write beyond the room stops
// part-way and fails as on a full disk; a refused removal fails as for a
// file that another program holds.
class FaultyDisk : public LogDisk {
 public:
  void set_room(std::uint64_t bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    room_ = bytes;
  }
  // By file name; refuse(name, false) lets it go again.
  void refuse_removal(const std::string& name, bool refuse = true) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (refuse) {
      refused_.insert(name);
    } else {
      refused_.erase(name);
    }
  }

  std::size_t write(const char* data, std::size_t size) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto fits = static_cast<std::size_t>(std::min<std::uint64_t>(size, room_));
    const std::size_t written = LogDisk::write(data, fits);
    room_ -= written;
    full_ = written == fits && fits < size;
    return written;
  }
  std::uint32_t error() const noexcept override {
    return full_ ? platform::disk_full_error() : LogDisk::error();
  }
  boost::system::error_code remove(const boost::filesystem::path& path) override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (refused_.count(path.filename().string()) > 0) {
        return boost::system::errc::make_error_code(boost::system::errc::device_or_resource_busy);
      }
    }
    return LogDisk::remove(path);
  }

 private:
  std::mutex mutex_;
  std::uint64_t room_ = std::numeric_limits<std::uint64_t>::max();
  std::set<std::string> refused_;
  bool full_ = false;  // by the writing thread only
};

}  // namespace vmrsmgr::testing
