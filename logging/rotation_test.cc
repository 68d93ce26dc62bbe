#include "logging/rotation.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logging/testing/faulty_disk.h"
#include "tests/temp_folder.h"

namespace vmrsmgr {
namespace {

TEST(RotationNumber, TakesSignedDecimalsWithinInt64Only) {
  struct Case {
    const char* suffix;
    std::optional<std::int64_t> expected;
  };
  const Case cases[] = {
      {"", std::nullopt},
      {"5", 5},
      {"05", 5},
      {"+5", 5},
      {"-3", -3},
      {"2147483647", 2147483647},
      {"2147483648", 2147483648},
      {"9223372036854775807", 9223372036854775807},
      {"9223372036854775808", std::nullopt},
      {".bak", std::nullopt},
      {"5x", std::nullopt},
      {" 5", std::nullopt},
      {"0x5", std::nullopt},
      {"+", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(rotation_number(c.suffix), c.expected) << c.suffix;
}

// Every file starts holding its own name, so that the result shows which file
// went where. Names ending with "/" are folders.
TEST(RotateLogs, NumbersRemovesAndMovesByTheDirectoryContents) {
  const std::string z = "zavadedad.vmrsmgr.log";
  const std::string d = "dariri.vmrsmgr.log";
  struct Case {
    const char* what;
    std::string file_name;
    std::vector<std::string> before;
    std::uint64_t max_logs;
    std::string moved_to;  // suffix of the current log's new name
    std::set<std::string> after;
    std::set<std::string> held;  // their removal fails
  };
  const std::vector<Case> cases = {
      {"first rotation", z, {z}, 9, "1", {z + "1"}, {}},
      {"full set",
       z,
       {z, z + "1", z + "2", z + "3", z + "4", z + "5", z + "6", z + "7", z + "8"},
       9,
       "9",
       {z + "2", z + "3", z + "4", z + "5", z + "6", z + "7", z + "8", z + "9"},
       {}},
      {"gaps not filled", z, {z, z + "3", z + "7"}, 9, "8", {z + "3", z + "7", z + "8"}, {}},
      {"lowest removed", z, {z, z + "3", z + "7"}, 3, "8", {z + "7", z + "8"}, {}},
      {"maximum 0", z, {z, z + "1"}, 0, "2", {z + "2"}, {}},
      {"maximum 1", z, {z, z + "1"}, 1, "2", {z + "2"}, {}},
      {"maximum 2", z, {z, z + "1"}, 2, "2", {z + "2"}, {}},
      {"maximum 0, current only", z, {z}, 0, "1", {z + "1"}, {}},
      {"no number", z, {z, z + ".bak"}, 2, "1", {z + ".bak", z + "1"}, {}},
      {"negative number", z, {z, z + "-1", z + "2"}, 3, "3", {z + "-1", z + "3"}, {}},
      {"removed by its own name", z, {z, z + "05", z + "7"}, 3, "8", {z + "7", z + "8"}, {}},
      {"case differs",
       z,
       {z, "ZAVADEDAD.VMRSMGR.LOG2"},
       2,
       "1",
       {"ZAVADEDAD.VMRSMGR.LOG2", z + "1"},
       {}},
      {"folder", z, {z, z + "4/"}, 9, "1", {z + "1", z + "4/"}, {}},
      {"another service",
       d,
       {d, "reduze-" + d, d + "1"},
       3,
       "2",
       {"reduze-" + d, d + "1", d + "2"},
       {}},
      {"maximum lowered: the surplus goes at once",
       z,
       {z, z + "1", z + "2", z + "3", z + "4", z + "5", z + "6", z + "7", z + "8"},
       3,
       "9",
       {z + "8", z + "9"},
       {}},
      {"surplus without numbers stays",
       z,
       {z, z + ".a", z + ".b", z + "1"},
       3,
       "2",
       {z + ".a", z + ".b", z + "2"},
       {}},
      {"held oldest stays, the next goes instead",
       z,
       {z, z + "1", z + "2"},
       3,
       "3",
       {z + "1", z + "3"},
       {z + "1"}},
      {"all held: moved all the same",
       z,
       {z, z + "1", z + "2"},
       3,
       "3",
       {z + "1", z + "2", z + "3"},
       {z + "1", z + "2"}},
      {"held but within the maximum", z, {z, z + "1"}, 3, "2", {z + "1", z + "2"}, {z + "1"}},
      {"the note of lost lines is no log",
       z,
       {z, "zavadedad.vmrsmgr.lost", z + "1"},
       2,
       "2",
       {"zavadedad.vmrsmgr.lost", z + "2"},
       {}},
      {"past 32 bits",
       z,
       {z, z + "2147483647"},
       9,
       "2147483648",
       {z + "2147483647", z + "2147483648"},
       {}},
      {"the highest number and one past it are left alone",
       z,
       {z, z + "9223372036854775807", z + "9223372036854775808", z + "4"},
       3,
       "5",
       {z + "9223372036854775807", z + "9223372036854775808", z + "5"},
       {}},
  };
  for (const Case& c : cases) {
    testing::TempFolder dir;
    for (const std::string& name : c.before) {
      if (name.back() == '/') {
        boost::filesystem::create_directory(dir.path() / name);
      } else {
        dir.write(name, name);
      }
    }
    testing::FaultyDisk disk;
    for (const std::string& name : c.held) disk.refuse_removal(name);
    const OldLogs old = remove_old_logs(dir.path(), c.file_name, c.max_logs, disk);
    move_current_log(dir.path(), c.file_name, old.next_number, disk);
    EXPECT_EQ(dir.entries(), c.after) << c.what;
    EXPECT_EQ(dir.read(c.file_name + c.moved_to), c.file_name) << c.what;
    std::set<std::string> kept;
    for (const auto& [path, error] : old.kept) {
      EXPECT_TRUE(error) << c.what;
      kept.insert(path.filename().string());
    }
    // Each held log in the way was tried and reported, and none other.
    std::set<std::string> in_the_way;
    for (const std::string& name : c.held) {
      if (c.before.size() >= std::max<std::uint64_t>(c.max_logs, 2)) in_the_way.insert(name);
    }
    EXPECT_EQ(kept, in_the_way) << c.what;
  }
}

TEST(RotateLogs, RaisesWhenTheCurrentLogCannotBeMoved) {
  testing::TempFolder dir;
  dir.write("x.vmrsmgr.log", "x");
  boost::filesystem::create_directory(dir.path() / "x.vmrsmgr.log1");
  dir.write("x.vmrsmgr.log1/inside", "");
  LogDisk disk;
  EXPECT_THROW(move_current_log(dir.path(), "x.vmrsmgr.log", 1, disk),
               boost::filesystem::filesystem_error);
  EXPECT_EQ(dir.read("x.vmrsmgr.log"), "x");
}

}  // namespace
}  // namespace vmrsmgr
