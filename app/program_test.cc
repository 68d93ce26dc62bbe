#include "app/program.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "tests/capture.h"

namespace vmrsmgr {
namespace {

namespace fs = boost::filesystem;

// main makes the program's own folder current; these tests put it back.
class RunProgram : public ::testing::Test {
 protected:
  void TearDown() override { fs::current_path(saved_); }
  const fs::path saved_ = fs::current_path();
};

TEST_F(RunProgram, MakesTheProgramsFolderCurrentWhateverItsLetters) {
  // Letters outside the ANSI code page, which a narrow path loses.
  const fs::path folder = fs::temp_directory_path() / L"Suite \u0414\u043e\u043c \u00fc";
  fs::create_directories(folder);
  const char* argv[] = {"C:\\elsewhere\\vmrsmgr.exe", "--version"};
  const CapturedOutput out;
  EXPECT_EQ(run_program(2, argv, (folder / "vmrsmgr.exe").wstring()), 1);
  EXPECT_TRUE(fs::equivalent(fs::current_path(), folder));
  EXPECT_EQ(out.out(), "vmrsmgr version 1.1.0\n");
  EXPECT_EQ(out.err(), "");
  fs::current_path(saved_);
  fs::remove(folder);
}

TEST_F(RunProgram, WithoutItsPathKeepsTheCurrentFolder) {
  const char* argv[] = {"vmrsmgr.exe", "--version"};
  const CapturedOutput out;
  EXPECT_EQ(run_program(2, argv, L""), 1);
  EXPECT_EQ(fs::current_path(), saved_);
}

TEST_F(RunProgram, AFolderThatCannotBeEnteredEndsWithAnError) {
  const char* argv[] = {"vmrsmgr.exe", "--version"};
  const CapturedOutput out;
  EXPECT_EQ(run_program(2, argv, L"Z:\\no\\such\\folder\\vmrsmgr.exe"), 1);
  EXPECT_EQ(out.out(), "");  // nothing ran
  EXPECT_EQ(out.err().rfind("Error: cannot enter the program's folder Z:\\no\\such\\folder: ", 0),
            0u)
      << out.err();
  EXPECT_EQ(fs::current_path(), saved_);
}

}  // namespace
}  // namespace vmrsmgr
