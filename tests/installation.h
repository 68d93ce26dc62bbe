#pragma once

#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "tests/windows_support.h"

namespace vmrsmgr::testing {

// A copy of vmrsmgr.exe in a folder of its own (bin) below the Wine prefix's
// drive C, with the test component copied into its sibling folders as the
// components, so that each test has its own installation. On destruction it
// removes the services the test named and ends what they left running.
class Installation {
 public:
  explicit Installation(const std::string& name);
  ~Installation();
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  // Places the test component as folder\exe (e.g. dariri\dariri.exe), with
  // the options it adds to the arguments of its service.
  void add_component(const std::string& relative_path, const std::string& options = "");
  // Writes bin\conf\vmrsmgr.conf.
  void write_config(const std::string& text) const;
  // Runs bin\vmrsmgr.exe with the arguments.
  Outcome tool(const std::string& arguments) const;
  // Marks a service for removal at the end of the test, whatever happens;
  // call it before installing.
  void owns_service(const std::string& name) { services_.push_back(name); }

  boost::filesystem::path root() const { return root_; }
  boost::filesystem::path bin() const { return root_ / "bin"; }
  // The whole of a file, empty when it does not exist.
  static std::string read(const boost::filesystem::path& file);

 private:
  boost::filesystem::path root_;
  std::vector<std::string> services_;
  std::vector<std::string> programs_;
};

}  // namespace vmrsmgr::testing
