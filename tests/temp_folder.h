#pragma once

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <boost/filesystem.hpp>

namespace vmrsmgr::testing {

// A fresh folder of real files for one test, removed with everything in it.
class TempFolder {
 public:
  TempFolder()
      : path_(boost::filesystem::temp_directory_path() /
              boost::filesystem::unique_path("vmrsmgr-test-%%%%-%%%%-%%%%")) {
    boost::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const boost::filesystem::path& path() const { return path_; }
  std::string text() const { return path_.string(); }

  void write(const std::string& name, const std::string& content) const {
    std::ofstream(path_ / name, std::ios::binary) << content;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // Entry names; folders end with "/".
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : boost::filesystem::directory_iterator(path_)) {
      names.insert(entry.path().filename().string() +
                   (boost::filesystem::is_directory(entry.status()) ? "/" : ""));
    }
    return names;
  }

 private:
  boost::filesystem::path path_;
};

}  // namespace vmrsmgr::testing
