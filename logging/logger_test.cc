#include "logging/logger.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logging/testing/faulty_disk.h"
#include "tests/capture.h"
#include "tests/temp_folder.h"

namespace vmrsmgr {
namespace {

namespace fs = boost::filesystem;

using Texts = std::vector<std::string>;

// The texts of a log's lines after checking that each has its time stamp, one
// blank and a "\r\n" line end, with no other line break; their time stamps
// go to stamps when given.
Texts texts_of(const std::string& content, Texts* stamps = nullptr) {
  static const std::regex line(R"((\d{8}T\d{6}(?:\.\d{6})?) ([^\r\n]*)\r\n)");
  Texts texts;
  auto at = content.cbegin();
  std::smatch match;
  while (at != content.cend()) {
    if (!std::regex_search(at, content.cend(), match, line,
                           std::regex_constants::match_continuous)) {
      ADD_FAILURE() << "not a log line: " << std::string(at, content.cend()).substr(0, 80);
      break;
    }
    texts.push_back(match[2]);
    if (stamps) stamps->push_back(match[1]);
    at = match[0].second;
  }
  return texts;
}

std::string numbered(int i) { return "line " + std::to_string(i); }

// How many lines were lost, the time stamps of the first and the last, why.
const std::regex kLostLines(R"((\d+) log lines were lost from (\S+) to (\S+): (.*))");

class LoggerTest : public ::testing::Test {
 protected:
  int start(Logger& logger, std::uint64_t rotation_size = 1 << 20, int level = 0) {
    return logger.start({dir_.text(), name_, rotation_size, 9, level});
  }
  Texts texts(const std::string& file) const { return texts_of(dir_.read(file)); }

  testing::TempFolder dir_;
  const std::string name_ = "dariri.vmrsmgr.log";
};

TEST_F(LoggerTest, LevelDecidesWhichOperationsWrite) {
  struct Case {
    int level;
    Texts expected;
  };
  const Case cases[] = {
      {0, {"log"}},
      {1, {"log", "[error] e"}},
      {3, {"log", "[error] e"}},
      {4, {"log", "[error] e", "[debug] d"}},
      {5, {"log", "[error] e", "[debug] d", "[trace] t"}},
  };
  for (const Case& c : cases) {
    const std::string file = "level" + std::to_string(c.level) + ".vmrsmgr.log";
    Logger logger;
    ASSERT_EQ(logger.start({dir_.text(), file, 1 << 20, 9, c.level}), 0);
    logger.log("log");
    logger.error("e");
    logger.debug("d");
    logger.trace("t");
    logger.stop();
    EXPECT_EQ(texts(file), c.expected) << "level " << c.level;
  }
}

// Fewer lines than slots, one more than the slots (the last producer waits for
// the thread), and many more; a drain, then the stop, come right after the
// last hand-over.
TEST_F(LoggerTest, DrainAndStopWriteEveryLineHandedOverInOrder) {
  for (const int count : {20, 33, 1000}) {
    const std::string file = std::to_string(count) + ".vmrsmgr.log";
    Logger logger;
    ASSERT_EQ(logger.start({dir_.text(), file, 1 << 30, 9, 0}), 0);
    Texts expected;
    for (int i = 0; i < count; ++i) {
      logger.log(numbered(i));
      expected.push_back(numbered(i));
    }
    logger.drain();
    EXPECT_EQ(texts(file), expected) << count;
    logger.log("after the drain");
    expected.push_back("after the drain");
    logger.stop();
    EXPECT_EQ(texts(file), expected) << count;
  }
}

TEST_F(LoggerTest, ConcurrentProducersLoseNothing) {
  constexpr int kProducers = 4;
  constexpr int kEach = 500;
  Logger logger;
  ASSERT_EQ(start(logger), 0);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&logger, p] {
      for (int i = 0; i < kEach; ++i) logger.log(std::to_string(p) + " " + std::to_string(i));
    });
  }
  for (std::thread& producer : producers) producer.join();
  logger.stop();

  std::vector<int> next(kProducers, 0);  // each producer's lines keep their order
  const Texts lines = texts(name_);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kProducers * kEach));
  for (const std::string& line : lines) {
    const std::size_t p = static_cast<std::size_t>(std::stoi(line));
    EXPECT_EQ(line.substr(line.find(' ') + 1), std::to_string(next[p]++));
  }
}

// The thread sleeps once the queue is empty: a line handed over just as it
// falls asleep must still wake it. Pauses of varying length between the
// lines hit every moment of its way to sleep.
TEST_F(LoggerTest, ALineHandedOverAsTheThreadFallsAsleepIsWritten) {
  constexpr int kLines = 300;
  Logger logger;
  ASSERT_EQ(start(logger), 0);
  const auto lines_on_disk = [this] {
    const std::string content = dir_.read(name_);
    return std::count(content.begin(), content.end(), '\n');
  };
  for (int i = 0; i < kLines; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(i % 13 * 7));
    logger.log(numbered(i));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (lines_on_disk() <= i) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << numbered(i) << " left waiting";
      std::this_thread::yield();
    }
  }
  logger.stop();
  EXPECT_EQ(texts(name_).size(), static_cast<std::size_t>(kLines));
}

// A trace message of kTraceMessageRoom bytes still fits whole.
TEST_F(LoggerTest, LongMessageIsCutButTheNextLineStartsOnItsOwn) {
  Logger logger;
  ASSERT_EQ(start(logger, 1 << 20, kLevelTrace), 0);
  logger.log(std::string(2000, 'x'));
  const std::string fits(Logger::kTraceMessageRoom, 'y');
  logger.trace(fits);
  logger.log("next");
  logger.stop();
  const std::string content = dir_.read(name_);
  const std::size_t first_end = content.find("\r\n") + 2;
  EXPECT_EQ(first_end, Logger::kSlotSize);
  const Texts lines = texts_of(content);
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(lines[0].find_first_not_of('x'), std::string::npos);
  EXPECT_EQ(lines[1], "[trace] " + fits);
  EXPECT_EQ(lines[2], "next");
}

TEST_F(LoggerTest, FileAlreadyAtTheRotationSizeRotatesBeforeTheFirstLine) {
  const std::string earlier(97, 'e');
  dir_.write(name_, earlier + "\r\n");
  Logger logger;
  ASSERT_EQ(start(logger, 100), 0);
  logger.log("first");
  logger.stop();
  EXPECT_EQ(dir_.read(name_ + "1"), earlier + "\r\n");
  EXPECT_EQ(texts(name_), Texts{"first"});
}

// The line that reaches the rotation size opens the new file and is not
// counted in it: with lines of about 60 bytes and a size of 100, the first
// file holds one line and every later one two.
TEST_F(LoggerTest, LineThatReachesTheSizeStartsTheNextFile) {
  struct Case {
    std::uint64_t rotation_size;
    std::vector<std::pair<std::string, Texts>> files;
  };
  const std::string m(32, 'm');
  const Case cases[] = {
      {0, {{"1", {}}, {"2", {"a"}}, {"3", {"b"}}, {"4", {"c"}}, {"", {"d"}}}},
      {100, {{"1", {m + "a"}}, {"2", {m + "b", m + "c"}}, {"", {m + "d"}}}},
  };
  for (const Case& c : cases) {
    testing::TempFolder dir;
    Logger logger;
    ASSERT_EQ(logger.start({dir.text(), name_, c.rotation_size, 9, 0}), 0);
    for (const char* tail : {"a", "b", "c", "d"}) logger.log((c.rotation_size ? m : "") + tail);
    logger.stop();
    EXPECT_EQ(dir.entries().size(), c.files.size());
    for (const auto& [suffix, expected] : c.files) {
      EXPECT_EQ(texts_of(dir.read(name_ + suffix)), expected) << c.rotation_size << suffix;
    }
  }
}

// Places where the log file can never be: the start fails with the cause,
// creates nothing, and messages before and after it are dropped.
TEST_F(LoggerTest, StartFailsWithTheCauseWhereTheFileCanNeverBe) {
  dir_.write("a-file", "");
  fs::create_directory(dir_.path() / "folder");
  fs::create_directory(dir_.path() / "folder" / name_);
  const struct {
    const char* name;
    fs::path folder;
    std::string file;
  } cases[] = {
      {"missing folder", dir_.path() / "missing", name_},
      {"folder that is a file", dir_.path() / "a-file", name_},
      {"folder under the file's name", dir_.path() / "folder", name_},
      {"name too long", dir_.path(), std::string(260, 'n') + ".vmrsmgr.log"},
  };
  const std::set<std::string> before = dir_.entries();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Logger logger;
    for (int i = 0; i < 100; ++i) logger.log("before start");  // must not wait for a slot
    EXPECT_EQ(logger.start({c.folder.string(), c.file, 100, 9, 5}), -1);
    EXPECT_NE(logger.start_error(), 0U);
    for (int i = 0; i < 100; ++i) logger.error("after a failed start");
    logger.stop();
    EXPECT_EQ(dir_.entries(), before);
    boost::system::error_code too_long;
    EXPECT_FALSE(fs::exists(fs::current_path() / c.file, too_long));
  }
  Logger logger;
  EXPECT_EQ(logger.start({(dir_.path() / "missing").string(), name_, 100, 9, 5}), -1);
  EXPECT_EQ(logger.start_error(), platform::path_not_found_error());
}

// The file's handle fails every write (/dev/full) until a later open finds
// a regular file under its name: the lines of the failed write are counted,
// and the count comes first once writing works.
TEST_F(LoggerTest, LinesLostToAFailedWriteAreCountedInTheNextFile) {
  if (fs::path::preferred_separator != '/' || !fs::exists("/dev/full")) {
    GTEST_SKIP() << "a POSIX device";
  }
  const fs::path link = dir_.path() / name_;
  fs::create_symlink("/dev/full", link);
  Logger logger;
  ASSERT_EQ(start(logger), 0);
  Texts logged;
  for (int i = 0; i < 5; ++i) {
    logged.push_back(numbered(i));
    logger.log(logged.back());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a few idle pauses
  dir_.write("real.log", "");
  fs::create_symlink(dir_.path() / "real.log", dir_.path() / "next");
  fs::rename(dir_.path() / "next", link);
  logged.push_back("after");
  logger.log(logged.back());
  logger.stop();

  Texts stamps;
  const Texts lines = texts_of(dir_.read("real.log"), &stamps);
  ASSERT_FALSE(lines.empty());
  std::smatch lost;
  ASSERT_TRUE(std::regex_match(lines[0], lost, kLostLines)) << lines[0];
  const std::ptrdiff_t count = std::stol(lost[1]);
  EXPECT_EQ(lost[2], stamps[0]);
  EXPECT_EQ(lost[4], platform::error_text(ENOSPC));
  ASSERT_GE(count, 1);
  ASSERT_LT(count, static_cast<std::ptrdiff_t>(logged.size()));
  EXPECT_EQ(Texts(lines.begin() + 1, lines.end()), Texts(logged.begin() + count, logged.end()));
}

// A folder under the next rotated name makes the move fail, at two
// rotations: the lines stay in the current file, each failure goes to
// standard error and the first into the log; a later run rotates the file
// once the way is free.
TEST_F(LoggerTest, FailedRotationReportsOnceAndKeepsEveryLine) {
  const std::string earlier = std::string(97, 'e') + "\r\n";
  dir_.write(name_, earlier);
  fs::create_directory(dir_.path() / (name_ + "1"));
  dir_.write(name_ + "1/blocker", "");
  {
    CapturedOutput output;
    Logger logger;
    ASSERT_EQ(start(logger, 100, kLevelError), 0);
    logger.log("first");
    logger.log("second");  // the report filled the file again
    logger.stop();
    const std::string err = output.err();
    EXPECT_EQ(err.rfind("EXEPTION: ", 0), 0U) << err;
    const std::size_t second = err.find("EXEPTION: ", 1);
    ASSERT_NE(second, std::string::npos) << err;
    EXPECT_EQ(err.find("EXEPTION: ", second + 1), std::string::npos) << err;
  }
  const std::string kept = dir_.read(name_);
  EXPECT_EQ(kept.substr(0, earlier.size()), earlier);
  const Texts lines = texts_of(kept.substr(earlier.size()));
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex("\\[error\\] Log .+ could not be rotated: .+; it keeps growing until a "
                           "later rotation succeeds")))
      << lines[0];
  EXPECT_EQ(Texts(lines.begin() + 1, lines.end()), (Texts{"first", "second"}));

  fs::remove_all(dir_.path() / (name_ + "1"));
  Logger logger;
  ASSERT_EQ(start(logger, 100), 0);
  logger.log("third");
  logger.stop();
  EXPECT_EQ(dir_.read(name_ + "1"), kept);
  EXPECT_EQ(texts(name_), Texts{"third"});
}

// An old log that cannot be removed stays and is reported once; the current
// log moves on all the same, and the next oldest goes instead. Once the old
// log can go, it goes, and that is reported too.
TEST_F(LoggerTest, OldLogThatCannotBeRemovedIsReportedAndTheRotationGoesOn) {
  dir_.write(name_, std::string(97, 'e') + "\r\n");
  dir_.write(name_ + "1", "1");
  dir_.write(name_ + "2", "2");
  auto disk = std::make_unique<testing::FaultyDisk>();
  testing::FaultyDisk& faults = *disk;
  faults.refuse_removal(name_ + "1");
  Logger logger(std::move(disk));
  ASSERT_EQ(logger.start({dir_.text(), name_, 100, 3, kLevelError}), 0);
  logger.log("a");  // 1 stays, 2 goes, the log becomes 3
  logger.log("b");  // the report filled the log: 1 stays, 3 goes, the log becomes 4
  logger.drain();
  faults.refuse_removal(name_ + "1", false);
  const std::string c(100, 'c');
  logger.log(c);  // 1 goes, the log becomes 5
  logger.stop();

  const std::string old = "[error] Old log " + (dir_.path() / (name_ + "1")).string();
  const std::string busy =
      boost::system::errc::make_error_code(boost::system::errc::device_or_resource_busy).message();
  EXPECT_EQ(dir_.entries(), (std::set<std::string>{name_, name_ + "4", name_ + "5"}));
  EXPECT_EQ(texts(name_ + "4"), (Texts{old + " could not be removed: " + busy, "a"}));
  EXPECT_EQ(texts(name_ + "5"), Texts{"b"});
  EXPECT_EQ(texts(name_), (Texts{old + " was removed at last", c}));
}

// A full disk: a write stops part-way, then every write fails until there is
// room again. Although the lines would fill the log twice, nothing rotates
// meanwhile: no numbered log is made and none removed. The line the write
// cut off is ended, and the count of the lost lines comes next, at the time
// of the first of them. A drain does not wait for room.
TEST_F(LoggerTest, FullDiskNeitherRotatesNorRemovesAndKeepsOneLinePerLine) {
  const std::string history = "20240131T081502 history\r\n";
  for (const char* suffix : {"", "1", "2"}) dir_.write(name_ + suffix, history);
  auto disk = std::make_unique<testing::FaultyDisk>();
  testing::FaultyDisk& faults = *disk;
  const std::string cut(500, 'c');
  faults.set_room(cut.size() / 2);
  Logger logger(std::move(disk));
  ASSERT_EQ(logger.start({dir_.text(), name_, 4096, 3, 0}), 0);
  logger.log(cut);
  for (int i = 0; i < 200; ++i) logger.log(numbered(i));
  logger.drain();
  faults.set_room(std::numeric_limits<std::uint64_t>::max());
  logger.log("after");
  logger.stop();

  EXPECT_EQ(dir_.entries(), (std::set<std::string>{name_, name_ + "1", name_ + "2"}));
  EXPECT_EQ(dir_.read(name_ + "1"), history);
  EXPECT_EQ(dir_.read(name_ + "2"), history);
  Texts stamps;
  const Texts lines = texts_of(dir_.read(name_), &stamps);
  ASSERT_EQ(lines.size(), 4U);
  EXPECT_EQ(lines[0], "history");
  EXPECT_LT(lines[1].size(), cut.size());
  EXPECT_EQ(cut.rfind(lines[1], 0), 0U);
  std::smatch lost;
  ASSERT_TRUE(std::regex_match(lines[2], lost, kLostLines)) << lines[2];
  EXPECT_EQ(lost[1], "201");
  EXPECT_EQ(lost[2], stamps[1]);
  EXPECT_EQ(stamps[2], stamps[1]);
  EXPECT_LE(lost[3], stamps[3]);
  EXPECT_EQ(lost[4], platform::error_text(platform::disk_full_error()));
  EXPECT_EQ(lines[3], "after");
  EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end()));
}

}  // namespace
}  // namespace vmrsmgr
