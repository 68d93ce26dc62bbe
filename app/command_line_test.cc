#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "settings/config.h"
#include "settings/keys.h"
#include "tests/capture.h"

namespace vmrsmgr {
namespace {

struct Parsed {
  int result;
  std::string out;
  std::string err;
  Config config{"conf/vmrsmgr.conf"};
};

void parse(const std::vector<const char*>& args, Parsed& parsed) {
  std::vector<const char*> argv{"vmrsmgr.exe"};
  argv.insert(argv.end(), args.begin(), args.end());
  const CapturedOutput out;
  parsed.result = parsed.config.parse_command_line(static_cast<int>(argv.size()), argv.data());
  parsed.out = out.out();
  parsed.err = out.err();
}

std::string get(const Parsed& p, const char* key) {
  return p.config.settings().get<std::string>(key, "-");
}

const char* const kHelpStart = "vmrsmgr tool, windows service tool:\n";
const char* const kAccountMissing =
    "Error: argument account must be set for service installation \n";
const char* const kPasswordMissing =
    "Error: argument password must be set for service installation \n";

struct Case {
  std::vector<const char*> args;
  int result;
  const char* mode;  // "-" when not stored
  const char* service_name;
  const char* err;
  bool help;
};

TEST(ParseCommandLine, ChoosesTheModeAndTheServiceName) {
  const Case cases[] = {
      {{}, 1, "-", "-", "", true},
      {{"dariri"}, 1, "-", "-", "", true},  // bare words are ignored
      {{"--help", "--status", "dariri"}, 1, "7", "dariri", "", true},
      {{"--version", "--start", "dariri"}, 1, "-1", "dariri", "", false},
      {{"--stat", "dariri"}, 1, "7", "dariri", "", false},
      {{"--stop", "dariri"}, 1, "6", "dariri", "", false},
      {{"--start", "a", "--uninstall", "b"}, 1, "5", "a", "", false},  // table order, not argv
      {{"-r", "a", "-s", "b"}, 1, "2", "b", "", false},
      {{"--run=dariri"}, 1, "2", "dariri", "", false},
      {{"-sdariri"}, 1, "2", "dariri", "", false},
      {{"--install", "dariri", "-u", "CORP\\svc", "-p", "pw", "--status", "dariri"},
       1,
       "7",
       "dariri",
       "",
       false},
      {{"--install", "reduze", "--account", "", "--password", ""}, 1, "3", "reduze", "", false},
      {{"--install", "dariri"}, -1, "3", "dariri", kAccountMissing, false},
      {{"--install", "dariri", "--account", "a"}, -1, "3", "dariri", kPasswordMissing, false},
      {{"--install", "Dariri", "--account", "a", "--password", "p"}, -1, "3", "Dariri", "", false},
      {{"--usercheck"}, -1, "1", "-", kAccountMissing, false},
      {{"--usercheck", "-u", "alice"}, -1, "1", "-", kPasswordMissing, false},
      {{"--mode", "GUI"}, 1, "-", "-", "", false},
      {{"--st", "dariri"},
       -1,
       "-",
       "-",
       "Error: option '--st' is ambiguous and matches '--start', '--status', and '--stop'\n",
       false},
      {{"--start"},
       -1,
       "-",
       "-",
       "Error: the required argument for option '--start' is missing\n",
       false},
      {{"--stop", "a", "--stop", "b"},
       -1,
       "-",
       "-",
       "Error: option '--stop' cannot be specified more than once\n",
       false},
      {{"--bogus"}, -1, "-", "-", "Error: unrecognised option '--bogus'\n", false},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const char* a : c.args) label += std::string(a) + " ";
    SCOPED_TRACE(label);
    Parsed p;
    parse(c.args, p);
    EXPECT_EQ(p.result, c.result);
    EXPECT_EQ(get(p, keys::kMode), c.mode);
    EXPECT_EQ(get(p, keys::kServiceName), c.service_name);
    EXPECT_EQ(p.err, c.err);
    EXPECT_EQ(p.out.rfind(kHelpStart, 0) == 0, c.help) << p.out;
  }
}

TEST(ParseCommandLine, StoresCredentialsZpcAndGui) {
  Parsed p;
  parse(
      {"--usercheck", "--account", "CORP\\alice", "--password", "", "-d", "PROD", "--mode", "GUI"},
      p);
  ASSERT_EQ(p.result, 1);
  EXPECT_EQ(get(p, keys::kMode), "1");
  EXPECT_EQ(get(p, keys::kAccount), "CORP\\alice");
  EXPECT_EQ(get(p, keys::kPassword), "");
  EXPECT_EQ(get(p, keys::kZpc), "PROD");
  EXPECT_EQ(get(p, keys::kGui), "1");

  Parsed lower;
  parse({"--status", "dariri", "--mode", "gui"}, lower);
  EXPECT_EQ(get(lower, keys::kGui), "0");
}

TEST(ParseCommandLine, PrintsVersionAndHelpLayout) {
  Parsed version;
  parse({"-V"}, version);
  EXPECT_EQ(version.out, "vmrsmgr version 1.1.0\n");

  Parsed help;
  parse({"-h"}, help);
  EXPECT_EQ(help.out,
            "vmrsmgr tool, windows service tool:\n"
            "  -c [ --install ] arg   Install service\n"
            "                         (This option will require --account and --password)\n"
            "  -r [ --uninstall ] arg Uninstall the service\n"
            "  --start arg            Start the service\n"
            "  --stop arg             Stop the service\n"
            "  --status arg           Show status of service\n"
            "  --mode arg             GUI\n"
            "  -s [ --run ] arg       run\n"
            "  -h [ --help ]          Using this parameter will show this help message\n"
            "  -d [ --zpc ] arg       ZPC (only for reduze)\n"
            "  -V [ --version ]       This will display the Vmrsmgr Version\n"
            "  --usercheck            Checks username and password\n"
            "  -u [ --account ] arg   Windows account that will install and run the service\n"
            "  -p [ --password ] arg  Password that will be used for the user that will run \n"
            "                         the service\n");
}

}  // namespace
}  // namespace vmrsmgr
