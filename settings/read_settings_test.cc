#include "settings/read_settings.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "settings/keys.h"

namespace vmrsmgr {
namespace {

TEST(ComponentCommand, QuotesTheProgramAndStartsInTheComponentsFolder) {
  struct Case {
    const char* current_path;
    const char* workdir;
    const char* exe;
    const char* args;
    const char* command;
    const char* folder;
  };
  const Case cases[] = {
      {"C:\\apps\\bin", "\\..\\dariri\\", "dariri.exe", " -i -d start",
       "\"C:\\apps\\bin\\..\\dariri\\dariri.exe\" -i -d start", "C:\\apps\\bin\\..\\dariri\\"},
      {"C:\\Program Files\\vm", "\\..\\tavrin\\", "reduze.exe", " -D start -d PROD",
       "\"C:\\Program Files\\vm\\..\\tavrin\\reduze.exe\" -D start -d PROD",
       "C:\\Program Files\\vm\\..\\tavrin\\"},
      {nullptr, nullptr, nullptr, nullptr, "\"\"", ""},  // nothing known: empty texts
  };
  for (const Case& c : cases) {
    boost::property_tree::ptree settings;
    if (c.current_path != nullptr) {
      settings.put(keys::kCurrentPath, c.current_path);
      settings.put(keys::kWorkdir, c.workdir);
      settings.put(keys::kExe, c.exe);
      settings.put(keys::kArgs, c.args);
    }
    const ComponentCommand command = component_command(settings);
    EXPECT_EQ(command.command_line(), c.command);
    EXPECT_EQ(command.folder, c.folder);
    EXPECT_EQ(command.program, command.folder + (c.exe != nullptr ? c.exe : ""));
  }
}

// What the command line, the service entry and the file leave unset.
TEST(ReadSettings, DefaultsFillWhatIsMissingOrEmpty) {
  for (const char* given : {static_cast<const char*>(nullptr), ""}) {
    boost::property_tree::ptree settings;
    if (given != nullptr) {
      for (const char* key :
           {keys::kLogDir, keys::kRotationSize, keys::kMaxLogs, keys::kDebug, keys::kMode}) {
        settings.put(key, given);
      }
    }
    const boost::filesystem::path bin = boost::filesystem::current_path() / "bin";
    settings.put(keys::kCurrentPath, bin.string());
    const LogSettings log = log_settings(settings);
    EXPECT_EQ(log.folder, (bin / "log").string());
    EXPECT_EQ(log.file_name, "undef.vmrsmgr.log");
    EXPECT_EQ(log.rotation_size, 104857600u);
    EXPECT_EQ(log.max_logs, 9u);
    EXPECT_EQ(log.level, 0);
    EXPECT_EQ(service_mode(settings), kModeNone);
  }
}

}  // namespace
}  // namespace vmrsmgr
