#include "settings/read_settings.h"

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

}  // namespace
}  // namespace vmrsmgr
