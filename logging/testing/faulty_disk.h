#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <set>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <boost/system/errc.hpp>

#include "logging/log_disk.h"

namespace vmrsmgr::testing {

// A disk whose room runs out, whose old logs may refuse to go and whose
// current log may refuse to move, changed by the test while the logger
// writes: a write beyond the room stops part-way and fails as on a full
// disk, and no new file can be made without room; a refused removal or move
// fails as for a file that another program holds.
class FaultyDisk : public LogDisk {
 public:
  void set_room(std::uint64_t bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    room_ = bytes;
  }
  // By file name; refuse_removal(name, false) lets it go again.
  void refuse_removal(const std::string& name, bool refuse = true) { mark(refused_, name, refuse); }
  void refuse_move(const std::string& name, bool refuse = true) { mark(held_, name, refuse); }
  // Writes wait while held, as on a disk that does not answer.
  void hold_writes(bool hold) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      holding_ = hold;
    }
    released_.notify_all();
  }
  bool write_waits() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return write_waits_;
  }
  // How many moves were tried.
  int moves() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return moves_;
  }

  bool open(const boost::filesystem::path& path) override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      create_failed_ = room_ == 0 && !boost::filesystem::exists(path);
    }
    return !create_failed_ && LogDisk::open(path);
  }
  std::size_t write(const char* data, std::size_t size) override {
    std::unique_lock<std::mutex> lock(mutex_);
    write_waits_ = true;
    released_.wait(lock, [this] { return !holding_; });
    write_waits_ = false;
    const auto fits = static_cast<std::size_t>(std::min<std::uint64_t>(size, room_));
    const std::size_t written = LogDisk::write(data, fits);
    room_ -= written;
    full_ = written == fits && fits < size;
    return written;
  }
  std::uint32_t error() const noexcept override {
    return full_ || create_failed_ ? platform::disk_full_error() : LogDisk::error();
  }
  boost::system::error_code remove(const boost::filesystem::path& path) override {
    if (refused(refused_, path)) return busy();
    return LogDisk::remove(path);
  }
  boost::system::error_code rename(const boost::filesystem::path& from,
                                   const boost::filesystem::path& to) override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ++moves_;
    }
    if (refused(held_, from)) return busy();
    return LogDisk::rename(from, to);
  }

 private:
  void mark(std::set<std::string>& names, const std::string& name, bool on) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (on) {
      names.insert(name);
    } else {
      names.erase(name);
    }
  }
  static boost::system::error_code busy() {
    return boost::system::errc::make_error_code(boost::system::errc::device_or_resource_busy);
  }
  bool refused(const std::set<std::string>& names, const boost::filesystem::path& path) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return names.count(path.filename().string()) > 0;
  }

  std::mutex mutex_;
  std::condition_variable released_;
  bool holding_ = false;
  bool write_waits_ = false;
  std::uint64_t room_ = std::numeric_limits<std::uint64_t>::max();
  std::set<std::string> refused_;
  std::set<std::string> held_;
  int moves_ = 0;
  bool full_ = false;           // by the writing thread only
  bool create_failed_ = false;  // by the writing thread only
};

}  // namespace vmrsmgr::testing
