#include "logging/logger.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logging/testing/faulty_disk.h"
#include "logging/testing/log_texts.h"
#include "tests/temp_folder.h"

namespace vmrsmgr {
namespace {

namespace fs = boost::filesystem;

using testing::kLostLines;
using testing::Texts;
using testing::texts_of;

std::string numbered(int i) { return "line " + std::to_string(i); }

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

// Producers that hand lines over while the stop comes: the stop never
// waits for good, and the file holds whole lines only.
TEST_F(LoggerTest, StopWhileFourProducersLogNeverHangs) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kRounds = 100;  // the sanitizers slow every round down
#else
  constexpr int kRounds = 1000;
#endif
  constexpr int kProducers = 4;
  const fs::path file = dir_.path() / name_;
  for (int round = 0; round < kRounds; ++round) {
    Logger logger;
    ASSERT_EQ(start(logger), 0);
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&logger, &go] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 100; ++i) logger.log(numbered(i));
      });
    }
    go.store(true);
    for (int i = 0; i < round % 8; ++i) std::this_thread::yield();
    logger.stop();
    for (std::thread& producer : producers) producer.join();
    const std::string content = dir_.read(name_);
    ASSERT_TRUE(content.empty() || content.back() == '\n') << round;
    ASSERT_LE(std::count(content.begin(), content.end(), '\n'), kProducers * 100) << round;
    fs::remove(file);
  }
}

}  // namespace

// Stands for a producer between its claim of a slot and its publication.
struct LoggerTestAccess {
  using Claim = Logger::Ring::Claim;
  static Claim claim(Logger& logger) {
    Logger::Ring::Claim claim;
    EXPECT_TRUE(logger.ring_.claim(claim));
    return claim;
  }
  static void publish(Logger& logger, const Logger::Ring::Claim& claim,
                      std::chrono::system_clock::time_point at, std::string_view text) {
    const std::int64_t moment =
        std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
    std::memcpy(claim.data, &moment, sizeof moment);
    std::copy(text.begin(), text.end(), claim.data + sizeof moment);
    logger.ring_.publish(claim, sizeof moment + text.size());
  }
};

namespace {

// Producer A holds a slot it claimed earlier, unpublished, while producer B
// hands a line over and drains: the drain returns only once both lines are
// in the file. A took its moment later than B, yet no stamp goes back.
TEST_F(LoggerTest, DrainWaitsForALineClaimedBeforeByAnotherProducer) {
  Logger logger;
  ASSERT_EQ(start(logger), 0);
  const LoggerTestAccess::Claim held = LoggerTestAccess::claim(logger);
  std::atomic<bool> drained{false};
  std::thread b([&] {
    logger.log("from B");
    logger.drain();
    drained.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(drained.load());
  LoggerTestAccess::publish(logger, held, std::chrono::system_clock::now() + std::chrono::hours(1),
                            "from A");
  b.join();
  Texts stamps;
  EXPECT_EQ(texts_of(dir_.read(name_), &stamps), (Texts{"from A", "from B"}));
  ASSERT_EQ(stamps.size(), 2U);
  EXPECT_EQ(stamps[0], stamps[1]);
  logger.stop();
}

// A disk that does not answer holds the thread, and the slots fill up:
// once waits are limited, a producer gives up after the limit, also one that
// was waiting already, and the next at once; the count comes in time order
// once the disk answers, and the observer hears of it.
TEST_F(LoggerTest, LimitedWaitsCountLinesThatFindNoSlot) {
  auto disk = std::make_unique<testing::FaultyDisk>();
  testing::FaultyDisk& faults = *disk;
  Logger logger(std::move(disk));
  std::vector<LogTrouble> told;
  logger.observe([&told](LogTrouble trouble, const std::string&, const std::string&) {
    told.push_back(trouble);
  });
  ASSERT_EQ(start(logger), 0);
  faults.hold_writes(true);
  logger.log("first");
  while (!faults.write_waits()) std::this_thread::yield();
  Texts expected{"first"};
  for (int i = 0; i < Logger::kSlots; ++i) {
    logger.log(numbered(i));
    expected.push_back(numbered(i));
  }
  // Waits without a limit until the stop's limit comes from another thread.
  std::thread waiting([&logger] { logger.log("given up after the limit"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  logger.limit_waits(std::chrono::milliseconds(20));
  waiting.join();
  logger.log("given up at once");
  faults.hold_writes(false);
  logger.drain();  // the slots are free again
  logger.log("after");
  logger.stop();

  expected.push_back("2 log lines were lost");
  expected.push_back("after");
  Texts stamps;
  Texts lines = texts_of(dir_.read(name_), &stamps);
  ASSERT_EQ(lines.size(), expected.size());
  std::smatch lost;
  ASSERT_TRUE(std::regex_match(lines[Logger::kSlots + 1], lost, kLostLines));
  EXPECT_EQ(lost[4].str(), Logger::kNoRoomReason);
  lines[Logger::kSlots + 1] = lost[1].str() + " log lines were lost";
  EXPECT_EQ(lines, expected);
  EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end()));
  EXPECT_EQ(told, std::vector<LogTrouble>{LogTrouble::kLinesLost});
}

}  // namespace
}  // namespace vmrsmgr
