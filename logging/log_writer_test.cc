#include "logging/log_writer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "logging/testing/faulty_disk.h"
#include "logging/testing/log_texts.h"
#include "platform/last_error.h"
#include "tests/temp_folder.h"

namespace vmrsmgr {
namespace {

namespace fs = boost::filesystem;
using testing::Texts;

const std::string kName = "dariri.vmrsmgr.log";
const std::string kNote = "dariri.vmrsmgr.lost";
const std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

std::string stamp(int second) {
  char text[32];
  std::snprintf(text, sizeof text, "20261208T10%02d%02d", second / 60 % 60, second % 60);
  return text;
}

// A log line as the logger composes it, stamped at second.
std::string log_line(int second, const std::string& text) {
  return stamp(second) + " " + text + "\r\n";
}

std::string disk_full() { return platform::system_message(platform::disk_full_error()); }

// A writer on a faulty disk, with a clock the test moves; each line is
// stamped a second after the one before, and each run of the service is a
// writer of its own.
class Script {
 public:
  Script(const testing::TempFolder& dir, std::uint64_t rotation_size, std::uint64_t max_logs,
         std::uint64_t room = kNoLimit)
      : settings_{dir.text(), kName, rotation_size, max_logs, kLevelError} {
    restart(room);
  }

  // The run ends and the next one starts, on a disk with room bytes left.
  void restart(std::uint64_t room = kNoLimit) {
    if (writer_) writer_->close();
    auto disk = std::make_unique<testing::FaultyDisk>();
    disk->set_room(room);
    disk_ = disk.get();
    writer_ = std::make_unique<LogWriter>(std::move(disk), [this] { return now_; });
    writer_->observe(
        [this](LogTrouble trouble, const std::string& file, const std::string& reason) {
          told.push_back({trouble, file, reason});
        });
    EXPECT_EQ(writer_->open(settings_), 0U);
  }
  void line(const std::string& text) {
    const std::string line = log_line(++second_, text);
    writer_->write(line);
  }
  void lines(int from, int to) {
    for (int i = from; i < to; ++i) line("line " + std::to_string(i));
  }
  void pass(std::chrono::milliseconds time) { now_ += time; }
  testing::FaultyDisk& disk() { return *disk_; }
  LogWriter& writer() { return *writer_; }
  void close() { writer_->close(); }

  struct Told {
    LogTrouble trouble;
    std::string file;
    std::string reason;
  };
  std::vector<Told> told;

 private:
  LogSettings settings_;
  testing::FaultyDisk* disk_ = nullptr;
  std::unique_ptr<LogWriter> writer_;
  std::chrono::steady_clock::time_point now_;
  int second_ = 0;
};

Texts numbered(int from, int to) {
  Texts texts;
  for (int i = from; i < to; ++i) texts.push_back("line " + std::to_string(i));
  return texts;
}

Texts operator+(Texts a, const Texts& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A log's texts, checked for time order; a count of lost lines reads "lost
// <n>: <why>" and must carry the time stamp of its first lost line.
Texts log_texts(const testing::TempFolder& dir, const std::string& file) {
  Texts stamps;
  Texts texts = testing::texts_of(dir.read(file), &stamps);
  EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end())) << file;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    std::smatch lost;
    const std::string text = texts[i];
    if (!std::regex_match(text, lost, testing::kLostLines)) continue;
    EXPECT_EQ(lost[2], stamps[i]) << text;
    EXPECT_LE(lost[2], lost[3]) << text;
    texts[i] = "lost " + lost[1].str() + ": " + lost[4].str();
  }
  return texts;
}

// The disk's faults and the writer's answers, one run or more each: what
// each file holds afterwards and which troubles were told.
TEST(LogWriter, DiskFaultsKeepEveryLineOrCountIt) {
  const std::string history = log_line(0, "history");
  const std::string cut(500, 'c');
  struct Case {
    const char* what;
    std::map<std::string, std::string> before;  // by suffix of the log's name
    std::uint64_t rotation_size;
    std::uint64_t max_logs;
    std::uint64_t room;  // at the start
    std::function<void(Script&, const testing::TempFolder&)> run;
    std::map<std::string, Texts> after;  // every file of the folder, by suffix
    std::vector<LogTrouble> told;
  };
  const Case cases[] = {
      {"full disk: a cut line is ended, the count comes first, nothing rotates",
       {{"", history}, {"1", history}, {"2", history}},
       4096,
       3,
       kNoLimit,
       [&](Script& s, const testing::TempFolder&) {
         s.disk().set_room(250);
         s.line(cut);
         s.lines(0, 200);
         s.writer().flush();
         s.disk().set_room(kNoLimit);
         s.line("after");
       },
       {{"", {"history", std::string(250 - 16, 'c'), "lost 201: " + disk_full(), "after"}},
        {"1", {"history"}},
        {"2", {"history"}}},
       {LogTrouble::kCannotWrite, LogTrouble::kLinesLost}},
      {"a log cut by an earlier run gets its line end",
       {{"", stamp(0) + " cut in the midd"}},
       4096,
       3,
       kNoLimit,
       [](Script& s, const testing::TempFolder&) { s.line("first"); },
       {{"", {"cut in the midd", "first"}}},
       {}},
      {"a log cut after its carriage return gets the line feed",
       {{"", stamp(0) + " cut\r"}},
       4096,
       3,
       kNoLimit,
       [](Script& s, const testing::TempFolder&) { s.line("first"); },
       {{"", {"cut", "first"}}},
       {}},
      {"lines a run could not write are counted in the next run's log",
       {{"", history}},
       4096,
       3,
       kNoLimit,
       [](Script& s, const testing::TempFolder& dir) {
         s.disk().set_room(0);
         s.lines(0, 3);
         s.close();
         EXPECT_NE(dir.read(kNote), "");
         s.restart();
         s.line("next run");
       },
       {{"", {"history", "lost 3: " + disk_full(), "next run"}}},
       {LogTrouble::kCannotWrite, LogTrouble::kLinesLost}},
      {"a full folder at the start: the run goes on and its lines are counted",
       {},
       4096,
       3,
       0,
       [](Script& s, const testing::TempFolder& dir) {
         s.lines(0, 3);
         s.restart();
         EXPECT_NE(dir.read(kNote), "");
         s.line("room again");
       },
       {{"", {"lost 3: " + disk_full(), "room again"}}},
       {LogTrouble::kCannotOpen, LogTrouble::kLinesLost}},
      {"an old log that cannot be removed stays, is reported once, and goes later",
       {{"", std::string(97, 'e') + "\r\n"}, {"1", history}, {"2", history}},
       100,
       3,
       kNoLimit,
       [&](Script& s, const testing::TempFolder&) {
         s.disk().refuse_removal(kName + "1");
         s.line("a");  // 1 stays, 2 goes, the log becomes 3
         s.line("b");  // the report filled the log: 1 stays, 3 goes, the log becomes 4
         s.writer().flush();
         s.disk().refuse_removal(kName + "1", false);
         s.line(std::string(100, 'c'));  // 1 goes, the log becomes 5
       },
       {{"4", {"[error] Old log * could not be removed: *", "a"}},
        {"5", {"b"}},
        {"", {"[error] Old log * was removed at last", std::string(100, 'c')}}},
       // Its removal at last is no trouble.
       {LogTrouble::kOldLogStays}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempFolder dir;
    for (const auto& [suffix, content] : c.before) dir.write(kName + suffix, content);
    Script script(dir, c.rotation_size, c.max_logs, c.room);
    c.run(script, dir);
    script.close();
    std::set<std::string> files;
    for (const auto& [suffix, texts] : c.after) {
      files.insert(kName + suffix);
      const Texts found = log_texts(dir, kName + suffix);
      ASSERT_EQ(found.size(), texts.size()) << suffix << ": " << dir.read(kName + suffix);
      for (std::size_t i = 0; i < texts.size(); ++i) {
        // "*" stands for a path or a system's text.
        const std::string pattern =
            std::regex_replace(texts[i], std::regex(R"([\[\]\\.^$|()?+{}])"), R"(\$&)");
        EXPECT_TRUE(std::regex_match(
            found[i], std::regex(std::regex_replace(pattern, std::regex(R"(\*)"), ".*"))))
            << found[i] << " against " << texts[i];
      }
    }
    EXPECT_EQ(dir.entries(), files);
    std::vector<LogTrouble> told;
    for (const Script::Told& t : script.told) told.push_back(t.trouble);
    EXPECT_EQ(told, c.told);
  }
}

// A reader holds the current log, sharing all but its removal: the moves
// fail. The lines keep going into the log, with no wait; the move is tried
// again after a further rotation size (at least kLeastRetryGrowth) or a
// second, and reported once, to the log and to the observer with the same
// text. Once the reader lets go, the next try moves the log.
TEST(LogWriter, HeldCurrentLogKeepsTakingLinesAndIsRotatedLater) {
  constexpr std::size_t kSize = LogWriter::kLeastRetryGrowth;
  // Numbered lines are some 30 bytes: these are over kSize, not twice.
  constexpr int kLast = 10 + static_cast<int>(kSize / 20);
  testing::TempFolder dir;
  // A log at its rotation size: lines of 128 bytes.
  const Texts full(kSize / 128, std::string(128 - 18, 'e'));
  std::string content;
  for (const std::string& text : full) content += log_line(0, text);
  dir.write(kName, content);
  Script s(dir, kSize, 9);
  s.disk().refuse_move(kName);
  s.line(std::string(40, 'a'));  // due: the first try fails
  EXPECT_EQ(s.disk().moves(), 1);
  s.lines(0, 10);  // under a further rotation size
  EXPECT_EQ(s.disk().moves(), 1);
  s.pass(LogWriter::kRotationRetry);
  s.line("a second later");
  EXPECT_EQ(s.disk().moves(), 2);
  s.disk().refuse_move(kName, false);
  s.line("let go");
  EXPECT_EQ(s.disk().moves(), 2);
  s.lines(10, kLast);  // a further rotation size
  EXPECT_EQ(s.disk().moves(), 3);
  s.close();

  ASSERT_EQ(s.told.size(), 1U);
  EXPECT_EQ(s.told[0].trouble, LogTrouble::kCannotRotate);
  EXPECT_EQ(s.told[0].file, (dir.path() / kName).string());
  const std::string record = "[error] Log " + s.told[0].file +
                             " could not be rotated: " + s.told[0].reason +
                             "; it keeps growing until a later rotation succeeds";
  const Texts kept = log_texts(dir, kName + "1");
  ASSERT_GE(kept.size(), full.size() + 2);
  EXPECT_EQ(kept[full.size()], record);
  const Texts all = kept + log_texts(dir, kName);
  const Texts expected = full + Texts{record, std::string(40, 'a')} + numbered(0, 10) +
                         Texts{"a second later", "let go"} + numbered(10, kLast);
  EXPECT_EQ(all, expected);

  // With a rotation size far below that growth, a held log is not tried on
  // every line.
  testing::TempFolder tiny_dir;
  Script tiny(tiny_dir, 0, 9);
  tiny.disk().refuse_move(kName);
  tiny.lines(0, 100);
  EXPECT_EQ(tiny.disk().moves(), 1);
}

// No room for a new file after the rotation: the lines wait, those beyond
// what can wait are counted, the file is tried again, and the count comes
// first once it can be made.
TEST(LogWriter, LogThatCannotBeMadeAfterARotationCountsUntilItCan) {
  testing::TempFolder dir;
  dir.write(kName, log_line(0, std::string(80, 'e')));
  Script s(dir, 100, 9);
  s.disk().set_room(0);
  s.lines(0, 3000);
  s.writer().flush();
  EXPECT_FALSE(fs::exists(dir.path() / kName));
  s.disk().set_room(kNoLimit);
  s.writer().flush();
  s.close();
  EXPECT_EQ(log_texts(dir, kName + "1"), Texts{std::string(80, 'e')});
  Texts texts = log_texts(dir, kName);
  ASSERT_FALSE(texts.empty());
  std::smatch lost;
  const std::string count = texts[0];
  ASSERT_TRUE(std::regex_match(count, lost, std::regex("lost (\\d+): (.*)"))) << count;
  EXPECT_EQ(lost[2], disk_full());
  const int kept_from = std::stoi(lost[1]);
  EXPECT_GT(kept_from, 0);
  EXPECT_EQ(Texts(texts.begin() + 1, texts.end()), numbered(kept_from, 3000));
}

// The file's handle fails every write (/dev/full) until a later open finds
// a regular file under its name: the lines of the failed write are counted,
// and the count comes first once writing works.
TEST(LogWriter, LinesLostToAFailedWriteAreCountedInTheNextFile) {
  if (fs::path::preferred_separator != '/' || !fs::exists("/dev/full")) {
    GTEST_SKIP() << "a POSIX device";
  }
  testing::TempFolder dir;
  const fs::path link = dir.path() / kName;
  fs::create_symlink("/dev/full", link);
  Script s(dir, 1 << 20, 9);
  s.lines(0, 5);
  s.writer().flush();
  dir.write("real.log", "");
  fs::create_symlink(dir.path() / "real.log", dir.path() / "next");
  fs::rename(dir.path() / "next", link);
  s.line("after");
  s.close();
  EXPECT_EQ(log_texts(dir, "real.log"),
            (Texts{"lost 5: " + platform::system_message(ENOSPC), "after"}));
}

}  // namespace
}  // namespace vmrsmgr
