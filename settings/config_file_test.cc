#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "settings/config.h"
#include "settings/keys.h"
#include "tests/capture.h"
#include "tests/temp_folder.h"

namespace vmrsmgr {
namespace {

namespace fs = boost::filesystem;

class ReadConfig : public ::testing::Test {
 protected:
  std::string file() const { return (dir_.path() / "vmrsmgr.conf").string(); }
  void write(const std::string& text) const { dir_.write("vmrsmgr.conf", text); }
  std::string get(const char* key) const { return config_.settings().get<std::string>(key, "-"); }

  const testing::TempFolder dir_;
  Config config_{""};
};

TEST_F(ReadConfig, FileValuesWinOverDefaultsWhicheverCameFirst) {
  write(
      "; logging of the service process\n"
      "[general]\n"
      "logdir = D:\\logs\n"
      "rotation_size = 10485760\n"
      "max_logs = 5\n"
      "debug = 1\n");
  config_.settings().put(keys::kConfigFile, file());
  config_.settings().put(keys::kServiceName, "dariri");
  ASSERT_EQ(config_.prepare_profile(), 0);  // main prepares before the service reads the file
  ASSERT_EQ(config_.read_config(), 0);
  ASSERT_EQ(config_.prepare_profile(), 0);
  EXPECT_EQ(get(keys::kLogDir), "D:\\logs");
  EXPECT_EQ(get(keys::kRotationSize), "10485760");
  EXPECT_EQ(get(keys::kMaxLogs), "5");
  EXPECT_EQ(get(keys::kDebug), "1");
}

TEST_F(ReadConfig, KeepsEarlierValuesAndFillsTheRest) {
  write(
      "top = ignored\n"
      "[general]\n"
      "max_logs = 3\n"
      "debug =\n"
      "[General]\n"
      "logdir = elsewhere\n"
      "[extra]\n"
      "service-name = x\n");
  config_.settings().put(keys::kConfigFile, file());
  config_.settings().put("extra.service-name", "given");  // not a default: stays
  ASSERT_EQ(config_.read_config(), 0);
  ASSERT_EQ(config_.prepare_profile(), 0);
  EXPECT_EQ(get(keys::kMaxLogs), "3");
  EXPECT_EQ(get(keys::kDebug), "0");  // an empty entry leaves the default to fill
  EXPECT_EQ(get(keys::kLogDir), "log");
  EXPECT_EQ(get("General.logdir"), "elsewhere");  // names compare with case
  EXPECT_EQ(get("extra.service-name"), "given");
  EXPECT_EQ(get("top"), "-");  // before any section: no effect
}

TEST_F(ReadConfig, MissingFileOrDirectoryChangesNothing) {
  for (const fs::path& path :
       {dir_.path() / "absent.conf", dir_.path() / "nodir" / "x.conf", dir_.path()}) {
    config_.settings().put(keys::kConfigFile, path.string());
    const CapturedOutput out;
    EXPECT_EQ(config_.read_config(), 0);
    EXPECT_EQ(out.err(), "");
  }
  EXPECT_EQ(get(keys::kLogDir), "-");
}

TEST_F(ReadConfig, RejectsABadFileWholeAndNamesTheLine) {
  write("[general]\nmax_logs = 3\nno equals sign here\n");
  config_.settings().put(keys::kConfigFile, file());
  const CapturedOutput out;
  EXPECT_EQ(config_.read_config(), -1);
  EXPECT_EQ(out.err(),
            "Error in Config::read_config: " + file() + "(3): '=' character not found in line\n");
  EXPECT_EQ(get(keys::kMaxLogs), "-");
}

}  // namespace
}  // namespace vmrsmgr
