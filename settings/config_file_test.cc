#include <string>
#include <vector>

#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "settings/config.h"
#include "settings/keys.h"
#include "settings/read_settings.h"
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

// UTF-16 with its mark in either byte order.
std::string utf16(const std::u16string& text, bool little_endian) {
  std::string bytes = little_endian ? "\xFF\xFE" : "\xFE\xFF";
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes += little_endian ? std::string{low, high} : std::string{high, low};
  }
  return bytes;
}

std::string utf16(const std::string& ascii, bool little_endian) {
  return utf16(std::u16string(ascii.begin(), ascii.end()), little_endian);
}

// As editors save it: with Notepad's marks of UTF-8 and UTF-16 (either byte
// order), with CR LF or CR alone; a value in quotes is meant without them.
TEST_F(ReadConfig, FileValuesWinOverDefaultsWhicheverCameFirst) {
  const std::string text =
      "[general]\n"
      "logdir = \"D:\\my logs\"\n"
      "rotation_size = 18446744073709551615\n"
      "max_logs = 5\n"
      "debug = 1\n";
  const auto line_ends = [&text](const char* end) {
    return boost::algorithm::replace_all_copy(text, "\n", end);
  };
  for (const std::string& content : {text, "\xEF\xBB\xBF" + text, utf16(line_ends("\r\n"), true),
                                     utf16(text, false), line_ends("\r"), line_ends("\r\n")}) {
    SCOPED_TRACE(content.substr(0, 6));
    write(content);
    Config config("");
    auto& settings = config.settings();
    settings.put(keys::kConfigFile, file());
    settings.put(keys::kServiceName, "dariri");
    ASSERT_EQ(config.prepare_profile(), 0);  // main prepares before the service reads the file
    ASSERT_EQ(config.read_config(), 0);
    ASSERT_EQ(config.prepare_profile(), 0);
    EXPECT_EQ(settings.get<std::string>(keys::kLogDir), "D:\\my logs");
    EXPECT_EQ(settings.get<std::string>(keys::kRotationSize), "18446744073709551615");
    EXPECT_EQ(settings.get<std::string>(keys::kMaxLogs), "5");
    EXPECT_EQ(settings.get<std::string>(keys::kDebug), "1");
    EXPECT_TRUE(config.config_notices().empty());
  }
  // Letters beyond ASCII, one beyond 16 bits, as the program's UTF-8.
  for (const bool little_endian : {true, false}) {
    write(utf16(u"[general]\nlogdir = D:\\\u0436\u0443\u0440\u043D\u0430\u043B \U0001F600\n",
                little_endian));
    Config config("");
    config.settings().put(keys::kConfigFile, file());
    ASSERT_EQ(config.read_config(), 0);
    EXPECT_EQ(config.settings().get<std::string>(keys::kLogDir),
              "D:\\\xD0\xB6\xD1\x83\xD1\x80\xD0\xBD\xD0\xB0\xD0\xBB \xF0\x9F\x98\x80");
  }
}

TEST_F(ReadConfig, KeepsEarlierValuesAndFillsTheRest) {
  write(
      "top = ignored\n"
      "[general] ; a comment may follow a section\n"
      "max_logs = 3\n"
      "debug =\n"
      "debgu = 5\n"
      "[General]\n"
      "logdir = elsewhere\n"
      "[Genral]\ndebug = 5\n"
      "[extra]\n"
      "service-name = x\n");
  config_.settings().put(keys::kConfigFile, file());
  config_.settings().put("extra.service-name", "given");  // not a default: stays
  config_.settings().put(keys::kCurrentPath, dir_.text());
  ASSERT_EQ(config_.read_config(), 0);
  ASSERT_EQ(config_.prepare_profile(), 0);
  const LogSettings log = log_settings(config_.settings());
  EXPECT_EQ(log.max_logs, 3u);
  EXPECT_EQ(log.level, 0);  // an empty entry leaves the default
  EXPECT_EQ(log.rotation_size, 104857600u);
  EXPECT_EQ(log.folder, (dir_.path() / "log").string());
  EXPECT_EQ(get("General.logdir"), "elsewhere");  // names compare with case
  EXPECT_EQ(get("extra.service-name"), "given");
  EXPECT_EQ(get("top"), "-");  // before any section: no effect
  // Each named once, to be logged and shown by --start.
  const std::string in = " in " + file() + " is ignored";
  EXPECT_EQ(config_.config_notices(),
            (std::vector<std::string>{
                "Setting top in " + file() + " stands before any [section] and is ignored",
                "Unknown setting general.debgu" + in, "Unknown setting General.logdir" + in,
                "Unknown setting Genral.debug" + in, "Unknown setting extra.service-name" + in}));
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

// A syntax error, or a number that is negative, too large or not decimal
// where the logger needs one.
TEST_F(ReadConfig, RejectsABadFileWholeAndNamesTheCause) {
  const std::string u64 = " is not a whole number from 0 to 18446744073709551615";
  const std::string i32 = " is not a whole number from 0 to 2147483647";
  const struct {
    std::string line, cause;
  } cases[] = {
      {"no equals sign here", "(3): '=' character not found in line"},
      {"[general] debug = 4", "(3): text after the section's ']'"},
      {"rotation_size = -1", ": general.rotation_size = -1" + u64},
      {"rotation_size = 18446744073709551616",
       ": general.rotation_size = 18446744073709551616" + u64},
      {"rotation_size = 10MB", ": general.rotation_size = 10MB" + u64},
      {"max_logs = -5", ": general.max_logs = -5" + u64},
      {"max_logs = +5", ": general.max_logs = +5" + u64},
      {"debug = -1", ": general.debug = -1" + i32},
      {"debug = 2147483648", ": general.debug = 2147483648" + i32},
      {"debug = 1.5", ": general.debug = 1.5" + i32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    write("[general]\nlogdir = x\n" + c.line + "\n");
    Config config("");
    config.settings().put(keys::kConfigFile, file());
    const CapturedOutput out;
    EXPECT_EQ(config.read_config(), -1);
    EXPECT_EQ(out.err(), "Error in Config::read_config: " + file() + c.cause + "\n");
    EXPECT_EQ(config.settings().get<std::string>(keys::kLogDir, "-"), "-");
    EXPECT_EQ(config.service_files().config_problem, file() + c.cause);
  }
}

TEST_F(ReadConfig, ServiceFilesAreFoundFromTheProgramsFolder) {
  const fs::path program = dir_.path() / "bin";
  const fs::path elsewhere = dir_.path() / "logs";
  config_.settings().put(keys::kConfigFile, file());
  config_.settings().put(keys::kCurrentPath, program.string());
  config_.settings().put(keys::kServiceName, "reduze-PROD");
  ASSERT_EQ(config_.prepare_profile(), 0);
  ServiceFiles files = config_.service_files();
  EXPECT_EQ(files.config_problem, "");
  EXPECT_EQ(files.log_folder, (program / "log").string());
  EXPECT_EQ(files.log_file, (program / "log" / "reduze-PROD.vmrsmgr.log").string());
  EXPECT_EQ(files.command.program, program.string() + "\\..\\tavrin\\reduze.exe");
  write("[general]\nlogdir = " + elsewhere.string() + "\n");
  EXPECT_EQ(config_.service_files().log_file, (elsewhere / "reduze-PROD.vmrsmgr.log").string());
}

}  // namespace
}  // namespace vmrsmgr
