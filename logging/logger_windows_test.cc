#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "logging/logger.h"
#include "platform/handles.h"
#include "platform/last_error.h"
#include "platform/log_file.h"
#include "platform/text.h"
#include "tests/temp_folder.h"
#include "tests/windows_support.h"

namespace vmrsmgr {
namespace {

namespace fs = boost::filesystem;

// A child that inherits every inheritable handle of this process, ended when
// the test is done with it.
class InheritingChild {
 public:
  InheritingChild() {
    std::wstring command =
        L"\"" + platform::to_wide(testing::program_folder()) + L"sleep_child.exe\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    started_ = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                nullptr, &startup, &info) != FALSE;
    process_.reset(info.hProcess);
    platform::unique_handle thread(info.hThread);
  }
  ~InheritingChild() {
    if (process_) {
      ::TerminateProcess(process_.get(), 0);
      ::WaitForSingleObject(process_.get(), 5000);
    }
  }
  InheritingChild(const InheritingChild&) = delete;
  InheritingChild& operator=(const InheritingChild&) = delete;

  bool started() const { return started_; }
  bool running() const { return ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

 private:
  bool started_ = false;
  platform::unique_handle process_;
};

bool renamed(const fs::path& from) {
  const fs::path to = from.string() + ".moved";
  return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

platform::unique_hfile open_file(const fs::path& path, DWORD share, BOOL inheritable) {
  SECURITY_ATTRIBUTES security{sizeof security, nullptr, inheritable};
  return platform::unique_hfile(::CreateFileW(path.c_str(), GENERIC_WRITE, share, &security,
                                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Shows that the test below can see a leak: an inheritable handle does keep
// the file from being renamed while the child lives.
TEST(LogFileInheritance, InheritedHandleKeepsTheFileFromBeingRenamed) {
  testing::TempFolder dir;
  const fs::path file = dir.path() / "leaky.vmrsmgr.log";
  auto handle = open_file(file, FILE_SHARE_READ | FILE_SHARE_WRITE, TRUE);
  ASSERT_TRUE(handle);
  InheritingChild child;
  ASSERT_TRUE(child.started());
  handle.reset();
  EXPECT_FALSE(renamed(file));
  EXPECT_TRUE(child.running());
}

TEST(LogFileInheritance, ChildStartedAfterTheLogWasOpenedDoesNotHoldIt) {
  testing::TempFolder dir;
  const fs::path file = dir.path() / "dariri.vmrsmgr.log";
  Logger logger;
  ASSERT_EQ(logger.start({dir.text(), "dariri.vmrsmgr.log", 1 << 20, 9, 0}), 0);
  logger.log("open");
  for (int i = 0; i < 500 && (!fs::exists(file) || fs::file_size(file) == 0); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(fs::file_size(file), 0U);
  InheritingChild child;
  ASSERT_TRUE(child.started());
  logger.stop();
  EXPECT_TRUE(renamed(file));
  EXPECT_TRUE(child.running());
}

// Another process holding the log exclusively: the lines wait and reach the
// file once it can be opened again; those beyond what can wait are counted,
// and the count comes first.
TEST(LogFileHeld, LinesWaitUntilTheFileCanBeOpened) {
  for (const int count : {1, 2000}) {  // 2000 lines do not fit in the 64 KiB that wait
    SCOPED_TRACE(count);
    testing::TempFolder dir;
    auto holder = open_file(dir.path() / "dariri.vmrsmgr.log", 0, FALSE);
    ASSERT_TRUE(holder);
    Logger logger;
    ASSERT_EQ(logger.start({dir.text(), "dariri.vmrsmgr.log", 1 << 30, 9, 0}), 0);
    for (int i = 0; i < count; ++i) logger.log("while held " + std::to_string(i));
    logger.drain();  // tries once, does not wait for the file
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a few idle pauses pass
    holder.reset();
    logger.log("after");
    logger.stop();

    const std::string content = dir.read("dariri.vmrsmgr.log");
    const std::regex lost(" (\\d+) log lines were lost from \\S+ to \\S+: (.*)\r\n");
    std::smatch match;
    int kept_from = 0;
    if (count > 1) {
      ASSERT_TRUE(std::regex_search(content, match, lost)) << content.substr(0, 200);
      EXPECT_EQ(match.position(0), content.find(' '));  // the first line
      EXPECT_EQ(match[2], platform::system_message(ERROR_SHARING_VIOLATION));
      kept_from = std::stoi(match[1]);
    } else {
      EXPECT_FALSE(std::regex_search(content, lost)) << content;
    }
    EXPECT_LT(kept_from, count);
    for (int i = kept_from; i < count; ++i) {
      EXPECT_NE(content.find(" while held " + std::to_string(i) + "\r\n"), std::string::npos) << i;
    }
    EXPECT_NE(content.find(" after\r\n"), std::string::npos);
  }
}

// A viewer holds an old log open, sharing reading and writing but not its
// removal. The rotation goes on without it: the current log keeps its size
// and the number of logs stays bounded; the log says so, and once the viewer
// lets go the old log goes, which the log says too.
TEST(LogFileHeld, OldLogThatAViewerHoldsStaysAndTheRotationGoesOn) {
  testing::TempFolder dir;
  const std::string name = "dariri.vmrsmgr.log";
  dir.write(name, std::string(5000, 'e'));  // rotated before the first line
  for (const char* number : {"1", "2", "3"}) dir.write(name + number, number);
  auto viewer = open_file(dir.path() / (name + "1"), FILE_SHARE_READ | FILE_SHARE_WRITE, FALSE);
  ASSERT_TRUE(viewer);
  Logger logger;
  ASSERT_EQ(logger.start({dir.text(), name, 4096, 3, kLevelError}), 0);
  logger.log("first");
  logger.drain();
  const std::string old = " [error] Old log " + (dir.path() / (name + "1")).string();
  EXPECT_EQ(dir.entries(), (std::set<std::string>{name, name + "1", name + "4"}));
  const std::string current = dir.read(name);
  EXPECT_EQ(current.find(old + " could not be removed: " +
                         platform::system_message(ERROR_SHARING_VIOLATION) + "\r\n"),
            current.find(' '))
      << current;
  EXPECT_NE(current.find(" first\r\n"), std::string::npos) << current;

  std::uintmax_t largest = 0;
  for (int i = 0; i < 400; ++i) {
    logger.log(std::string(200, 'x'));
    if (i % 20 == 0) {
      logger.drain();
      largest = std::max(largest, fs::file_size(dir.path() / name));
      EXPECT_EQ(dir.entries().size(), 3U);
    }
  }
  EXPECT_LE(largest, 4096U + Logger::kSlotSize);  // the line that opened it is not counted
  EXPECT_EQ(dir.read(name + "1"), "1");

  viewer.reset();
  for (int i = 0; i < 5; ++i) logger.log(std::string(1000, 'y'));
  logger.stop();
  EXPECT_FALSE(fs::exists(dir.path() / (name + "1")));
  int removed = 0;
  for (const std::string& file : dir.entries()) {
    removed += dir.read(file).find(old + " was removed at last\r\n") != std::string::npos;
  }
  EXPECT_EQ(removed, 1);
}

// A viewer holds the current log, sharing reading and writing but not its
// removal, so the log cannot move: a flood of lines goes on into it at full
// speed (the figure is printed), and once the viewer lets go the log is
// rotated again.
TEST(LogFileHeld, CurrentLogThatAViewerHoldsKeepsTakingLines) {
  testing::TempFolder dir;
  const std::string name = "dariri.vmrsmgr.log";
  dir.write(name, std::string(5000, 'e') + "\r\n");
  auto viewer = open_file(dir.path() / name, FILE_SHARE_READ | FILE_SHARE_WRITE, FALSE);
  ASSERT_TRUE(viewer);
  Logger logger;
  ASSERT_EQ(logger.start({dir.text(), name, 4096, 3, kLevelError}), 0);
  const std::string line(200, 'x');
  constexpr int kLines = 50000;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kLines; ++i) logger.log(line);
  logger.drain();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  const std::uintmax_t size = fs::file_size(dir.path() / name);
  std::printf("held current log: %.1f MB/s (%d lines of %zu bytes in %.2f s)\n",
              static_cast<double>(size) / took.count() / 1e6, kLines, line.size(), took.count());
  EXPECT_EQ(dir.entries(), std::set<std::string>{name});
  EXPECT_GT(size, kLines * line.size());

  viewer.reset();
  // The next try comes a second after the last, at the latest.
  std::this_thread::sleep_for(LogWriter::kRotationRetry);
  // Some 4,500 bytes: the log moves to 1, then the new one to 2.
  for (int i = 0; i < 20; ++i) logger.log(line);
  logger.stop();
  EXPECT_EQ(dir.entries(), (std::set<std::string>{name, name + "1", name + "2"}));
  std::string all;
  for (const std::string& file : dir.entries()) all += dir.read(file);
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1 + 1 + kLines + 20) << "every line kept";
}

// A log folder past 260 characters works without the system's long path
// policy: the log, its rotation and the removal of old logs.
TEST(LogFileLongPath, FolderPastTheOldLimitTakesTheLogAndItsRotation) {
  testing::TempFolder dir;
  fs::path folder = dir.path();
  while (folder.string().size() <= 280) folder /= std::string(60, 'd');
  fs::create_directories(platform::system_path(folder));
  const std::string name = "dariri.vmrsmgr.log";
  Logger logger;
  ASSERT_EQ(logger.start({folder.string(), name, 100, 3, 0}), 0);
  for (int i = 0; i < 10; ++i) logger.log(std::string(60, 'l'));
  logger.stop();
  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(platform::system_path(folder))) {
    files.insert(entry.path().filename().string());
  }
  // Every second line rotates: five rotations, of which the current log and
  // the last two numbered logs are kept.
  EXPECT_EQ(files, (std::set<std::string>{name, name + "4", name + "5"}));
}

// Under the names Windows gives a device, or a folder that is not there, the
// log can never be written: the start fails with the code the service
// reports.
TEST(LogFileHeld, StartFailsOnADeviceOrAMissingFolder) {
  testing::TempFolder dir;
  Logger logger;
  EXPECT_EQ(logger.start({"NUL", "dariri.vmrsmgr.log", 1 << 20, 9, 0}), -1);
  EXPECT_NE(logger.start_error(), 0U);
  EXPECT_EQ(logger.start({dir.text() + "\\missing", "dariri.vmrsmgr.log", 1 << 20, 9, 0}), -1);
  EXPECT_EQ(logger.start_error(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
}  // namespace vmrsmgr
