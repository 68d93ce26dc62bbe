#include "settings/profile.h"

#include <sstream>

#include <gtest/gtest.h>

#include "settings/config.h"
#include "settings/keys.h"
#include "tests/capture.h"

namespace vmrsmgr {
namespace {

struct Given {
  const char* service_name;  // nullptr: no key
  const char* zpc;           // nullptr: no key
};

struct Expected {
  int result;
  const char* error;  // standard error
  const char* service_name;
  const char* zpc;
  const char* display_name;
  const char* description;
  const char* workdir;
  const char* exe;
  const char* args;
};

struct ProfileCase {
  Given given;
  Expected expected;
};

std::string get(const Config& c, const char* key) {
  return c.settings().get<std::string>(key, "-");
}

TEST(PrepareProfile, SelectsTheProfileOfTheServiceName) {
  const ProfileCase cases[] = {
      {{"zavadedad", nullptr},
       {0, "", "zavadedad", "-", "Zavadedad", "Verimor Tavrin Zavadedad Service",
        "\\..\\zavadedad\\", "zavadedad.exe", " -i -d start"}},
      {{"devidori", nullptr},
       {0, "", "devidori", "-", "Devidori", "Verimor Tavrin Devidori Service", "\\..\\devidori\\",
        "devidori.exe", " -i -d start"}},
      {{"dariri", nullptr},
       {0, "", "dariri", "-", "Dariri", "Verimor Tavrin Dariri Service", "\\..\\dariri\\",
        "dariri.exe", " -i -d start"}},
      {{"reduze-PROD", nullptr},
       {0, "", "reduze-PROD", "PROD", "Reduze-PROD", "Verimor Tavrin Viradozir Service for PROD",
        "\\..\\tavrin\\", "reduze.exe", " -D start -d PROD"}},
      {{"reduze", "PROD"},
       {0, "", "reduze-PROD", "PROD", "Reduze-PROD", "Verimor Tavrin Viradozir Service for PROD",
        "\\..\\tavrin\\", "reduze.exe", " -D start -d PROD"}},
      {{"reduze-PROD", "TEST"},
       {0, "", "reduze-TEST", "TEST", "Reduze-TEST", "Verimor Tavrin Viradozir Service for TEST",
        "\\..\\tavrin\\", "reduze.exe", " -D start -d TEST"}},
      {{"reduzeXPROD", nullptr},
       {0, "", "reduzeXPROD", "PROD", "Reduze-PROD", "Verimor Tavrin Viradozir Service for PROD",
        "\\..\\tavrin\\", "reduze.exe", " -D start -d PROD"}},
      {{"reduze", nullptr},
       {-1, "Error: ZPC is not set \n", "reduze", "-", "-", "-", "-", "-", "-"}},
      {{"reduze-", nullptr},
       {-1, "Error: ZPC is not set \n", "reduze-", "-", "-", "-", "-", "-", "-"}},
      {{"reduze", ""}, {-1, "Error: ZPC is not set \n", "reduze-", "", "-", "-", "-", "-", "-"}},
      // The ZPC ends a command line run by cmd unquoted.
      {{"reduze", "A&calc"},
       {-1, "Error: ZPC is not valid \n", "reduze-A&calc", "A&calc", "-", "-", "-", "-", "-"}},
      {{"reduze-a b", nullptr},
       {-1, "Error: ZPC is not valid \n", "reduze-a b", "a b", "-", "-", "-", "-", "-"}},
      {{"ZAVADEDAD", nullptr}, {0, "", "ZAVADEDAD", "-", "-", "-", "-", "-", "-"}},
      {{"zavadedad2", nullptr}, {0, "", "zavadedad2", "-", "-", "-", "-", "-", "-"}},
      {{nullptr, nullptr}, {0, "", "-", "-", "-", "-", "-", "-", "-"}},
  };
  for (const ProfileCase& c : cases) {
    SCOPED_TRACE(c.given.service_name ? c.given.service_name : "(none)");
    Config config("conf/vmrsmgr.conf");
    if (c.given.service_name) config.settings().put(keys::kServiceName, c.given.service_name);
    if (c.given.zpc) config.settings().put(keys::kZpc, c.given.zpc);
    const CapturedOutput out;
    EXPECT_EQ(config.prepare_profile(), c.expected.result);
    EXPECT_EQ(out.err(), c.expected.error);
    EXPECT_EQ(out.out(), "");
    EXPECT_EQ(get(config, keys::kServiceName), c.expected.service_name);
    EXPECT_EQ(get(config, keys::kZpc), c.expected.zpc);
    EXPECT_EQ(get(config, keys::kDisplayName), c.expected.display_name);
    EXPECT_EQ(get(config, keys::kDescription), c.expected.description);
    EXPECT_EQ(get(config, keys::kWorkdir), c.expected.workdir);
    EXPECT_EQ(get(config, keys::kExe), c.expected.exe);
    EXPECT_EQ(get(config, keys::kArgs), c.expected.args);
    // Defaults are taken where the settings are read, never stored here.
    EXPECT_EQ(get(config, keys::kLogDir), "-");
    EXPECT_EQ(get(config, keys::kMode), "-");
  }
}

TEST(PrepareProfile, KeepsValuesGivenEarlierAndIsIdempotent) {
  Config config("conf/vmrsmgr.conf");
  auto& tree = config.settings();
  tree.put(keys::kServiceName, "reduze");
  tree.put(keys::kZpc, "PROD");
  tree.put(keys::kMode, 7);
  tree.put(keys::kDisplayName, " ");  // blanks are not empty
  tree.put(keys::kDescription, "");   // empty is
  ASSERT_EQ(config.prepare_profile(), 0);
  const boost::property_tree::ptree first = tree;
  ASSERT_EQ(config.prepare_profile(), 0);
  EXPECT_EQ(tree, first);
  EXPECT_EQ(get(config, keys::kMode), "7");
  EXPECT_EQ(get(config, keys::kDisplayName), " ");
  EXPECT_EQ(get(config, keys::kDescription), "Verimor Tavrin Viradozir Service for PROD");
  EXPECT_EQ(get(config, keys::kServiceName), "reduze-PROD");
}

TEST(IsValidZpc, AcceptsOnlyWhatCmdTakesLiterally) {
  for (const char* ok : {"PROD", "prod-2", "a_b.c", "0"}) EXPECT_TRUE(is_valid_zpc(ok)) << ok;
  for (const char* bad : {"", "a b", "a&b", "a|b", "%PATH%", "a\"b", "a^b", "a<b", "a>b", "a(b)",
                          "a,b", "a;b", "a=b", "P\xe4ss", "a\tb"}) {
    EXPECT_FALSE(is_valid_zpc(bad)) << bad;
  }
}

}  // namespace
}  // namespace vmrsmgr
