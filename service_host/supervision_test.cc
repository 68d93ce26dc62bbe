#include "service_host/supervision.h"

#include <string>

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "settings/keys.h"

namespace vmrsmgr {
namespace {

TEST(ChildCommand, QuotesTheProgramAndStartsInTheComponentsFolder) {
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
    const ChildCommand child = child_command(settings);
    EXPECT_EQ(child.command, c.command);
    EXPECT_EQ(child.folder, c.folder);
    EXPECT_EQ(child.program, child.folder + (c.exe != nullptr ? c.exe : ""));
  }
}

TEST(SplitOutputForLog, CutsAtLineEndsWithinTheLimitAndLosesNothing) {
  struct Case {
    std::string output;
    std::size_t max_piece;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {"", 10, {}},
      {"short\r\n", 10, {"short\r\n"}},
      {"0123456789", 10, {"0123456789"}},  // exactly fits
      {"a\nb\nc\n", 10, {"a\nb\nc\n"}},    // several lines share a message
      {"one\r\ntwo\r\nthree\r\n", 10, {"one\r\ntwo\r\n", "three\r\n"}},
      {"0123456789abc", 10, {"0123456789", "abc"}},  // no line end: cut at the limit
      {"line\n0123456789abcdef", 10, {"line\n", "0123456789", "abcdef"}},
      {"012345678\nx", 10, {"012345678\n", "x"}},  // line end as the last byte that fits
      {"0123456789\nx", 10, {"0123456789", "\nx"}},
  };
  for (const Case& c : cases) {
    const std::vector<std::string_view> pieces = split_output_for_log(c.output, c.max_piece);
    EXPECT_EQ(std::vector<std::string>(pieces.begin(), pieces.end()), c.pieces) << c.output;
  }
}

TEST(SplitOutputForLog, AFullChunkFitsTheLogLines) {
  std::string chunk;
  for (int i = 0; chunk.size() < 65536; ++i)
    chunk += "component line " + std::to_string(i) + "\r\n";
  chunk.resize(65536);
  chunk.replace(30000, 3000, std::string(3000, 'x'));  // one line longer than a log line
  std::string joined;
  for (const std::string_view piece : split_output_for_log(chunk)) {
    // time stamp, blank, "[trace] ", "output: ", the piece and the line end
    EXPECT_LE(22 + 1 + 8 + 8 + piece.size() + 2, 1024u);
    joined += piece;
  }
  EXPECT_EQ(joined, chunk);
}

TEST(ExitAfterComponent, OnlyAFailureOfTheComponentItselfIsReported) {
  struct Case {
    bool stop_requested;
    std::uint32_t component_exit;
    ServiceExit expected;
  };
  const Case cases[] = {
      {false, 0, {0, 0}},    {false, 3, {1066, 3}},
      {false, 1, {1066, 1}},  // also a component that could not be launched
      {true, 1, {0, 0}},      // ended by the stop
      {true, 259, {0, 0}},    // still running when reading stopped
  };
  for (const Case& c : cases) {
    const ServiceExit exit = exit_after_component(c.stop_requested, c.component_exit);
    EXPECT_EQ(exit.win32_exit_code, c.expected.win32_exit_code) << c.component_exit;
    EXPECT_EQ(exit.service_specific_exit_code, c.expected.service_specific_exit_code);
  }
}

}  // namespace
}  // namespace vmrsmgr
