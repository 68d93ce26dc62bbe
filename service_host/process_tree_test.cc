#include "service_host/process_tree.h"

#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/handles.h"
#include "tests/windows_support.h"

namespace vmrsmgr {
namespace {

// Processes as the test arranges them, including what cannot be arranged
// for real: ids reused by younger processes, processes that may not be ended.
class FakeProcesses : public ProcessSystem {
 public:
  enum Access { kGone, kQueryOnly, kFull };
  struct Fake {
    std::uint32_t parent;
    std::uint64_t created;
    Access access;
    bool console_host = false;
    std::uint32_t console = 0;  // processes of one console share its number; 0: none
    bool in_job = false;
    bool ends_on_interrupt = false;
  };

  // The component runs in a job; without one, in_job means nothing.
  void with_job() { job_ = true; }
  void add(std::uint32_t id, Fake fake) {
    order_.push_back(id);
    table_[id] = fake;
  }
  // Ended by force, in order.
  const std::vector<std::uint32_t>& ended() const { return ended_; }
  // The processes an interrupt was sent to, in order.
  const std::vector<std::uint32_t>& interrupted() const { return interrupted_; }
  int snapshots() const { return snapshots_; }
  int waits() const { return waits_; }

  std::vector<Entry> snapshot() override {
    ++snapshots_;
    std::vector<Entry> entries;
    for (const std::uint32_t id : order_) {
      if (table_.count(id) != 0)
        entries.push_back({id, table_[id].parent, table_[id].console_host});
    }
    return entries;
  }

  std::unique_ptr<Process> open(std::uint32_t id) override {
    const auto found = table_.find(id);
    if (found == table_.end() || found->second.access == kGone) return nullptr;
    return std::make_unique<FakeProcess>(*this, id, found->second);
  }

  bool has_job() const override { return job_; }

  std::vector<std::uint32_t> job_members() override {
    std::vector<std::uint32_t> ids;
    if (!job_) return ids;
    for (const std::uint32_t id : order_) {
      if (table_.count(id) != 0 && table_[id].in_job) ids.push_back(id);
    }
    return ids;
  }

  void wait_all(const std::vector<Process*>&, std::uint32_t timeout_ms) override {
    ++waits_;
    EXPECT_EQ(timeout_ms, kGraceMs);
    now_ += timeout_ms;  // nobody ends on the interrupt in time
  }
  // Milliseconds the walk has waited.
  std::uint64_t now() const { return now_; }

 private:
  class FakeProcess : public Process {
   public:
    FakeProcess(FakeProcesses& all, std::uint32_t id, Fake fake)
        : all_(all), id_(id), fake_(fake) {}
    std::uint64_t created() const override { return fake_.created; }
    bool may_end() const override { return fake_.access == kFull; }
    bool in_job() const override { return fake_.in_job; }
    std::vector<std::uint32_t> interrupt() override {
      all_.interrupted_.push_back(id_);
      std::vector<std::uint32_t> reached{id_};
      for (auto& [id, other] : all_.table_) {
        if (fake_.console != 0 && other.console == fake_.console) reached.push_back(id);
      }
      for (const std::uint32_t id : reached) {
        if (all_.table_.count(id) != 0 && all_.table_[id].ends_on_interrupt) all_.table_.erase(id);
      }
      return reached;
    }
    bool ended() override { return all_.table_.count(id_) == 0; }
    void terminate() override {
      all_.ended_.push_back(id_);
      all_.table_.erase(id_);
    }

   private:
    FakeProcesses& all_;
    std::uint32_t id_;
    Fake fake_;
  };

  std::vector<std::uint32_t> order_;
  std::map<std::uint32_t, Fake> table_;
  std::vector<std::uint32_t> ended_;
  std::vector<std::uint32_t> interrupted_;
  int snapshots_ = 0;
  int waits_ = 0;
  std::uint64_t now_ = 0;
  bool job_ = false;
};

TEST(EndProcessTree, EndsDescendantsDeepestFirstAndOnlyThose) {
  FakeProcesses processes;
  processes.add(100, {1, 10, FakeProcesses::kFull});    // the service
  processes.add(200, {100, 20, FakeProcesses::kFull});  // cmd
  processes.add(300, {200, 30, FakeProcesses::kFull});  // component
  processes.add(400, {300, 40, FakeProcesses::kFull});  // its child
  processes.add(201, {100, 21, FakeProcesses::kFull});  // a second child
  processes.add(500, {1, 15, FakeProcesses::kFull});    // unrelated
  // When each progress report came and how long its wait hint promised.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> reports;
  end_process_tree(100, processes,
                   [&](std::uint32_t hint) { reports.emplace_back(processes.now(), hint); });
  EXPECT_EQ(processes.ended(), (std::vector<std::uint32_t>{400, 300, 200, 201}));
  EXPECT_EQ(processes.interrupted(), processes.ended());
  // Once before the grace, once for each process ended; Windows takes a
  // service whose check point stands still past its wait hint for hung.
  ASSERT_EQ(reports.size(), 5u);
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const std::uint64_t next = i + 1 < reports.size() ? reports[i + 1].first : processes.now();
    EXPECT_LT(next - reports[i].first, reports[i].second) << "report " << i;
  }
}

TEST(EndProcessTree, EndsAConsoleHostAfterItsSiblings) {
  FakeProcesses processes;
  processes.add(100, {1, 10, FakeProcesses::kFull});
  processes.add(200, {100, 20, FakeProcesses::kFull});        // cmd
  processes.add(210, {200, 21, FakeProcesses::kFull, true});  // the console of cmd
  processes.add(300, {200, 30, FakeProcesses::kFull});        // component
  processes.add(400, {300, 40, FakeProcesses::kFull});
  end_process_tree(100, processes);
  EXPECT_EQ(processes.ended(), (std::vector<std::uint32_t>{400, 300, 210, 200}));
}

TEST(EndProcessTree, OneInterruptPerConsoleAndOneGraceForTheWholeTree) {
  FakeProcesses processes;
  processes.add(100, {1, 10, FakeProcesses::kFull});
  processes.add(200, {100, 20, FakeProcesses::kFull, false, 7});  // cmd and its console
  processes.add(300, {200, 30, FakeProcesses::kFull, false, 7, false, true});
  processes.add(400, {300, 40, FakeProcesses::kFull, false, 7});
  processes.add(410,
                {300, 41, FakeProcesses::kFull, false, 8, false, true});  // a console of its own
  const TreeEnd end = end_process_tree(100, processes);
  // Deepest first: 400 for console 7, then 410 for console 8.
  EXPECT_EQ(processes.interrupted(), (std::vector<std::uint32_t>{400, 410}));
  EXPECT_EQ(processes.waits(), 1);
  // Those that ended on the interrupt are not ended by force, nor said to be.
  EXPECT_EQ(processes.ended(), (std::vector<std::uint32_t>{400, 200}));
  EXPECT_EQ(end.forced, processes.ended());
}

TEST(EndProcessTree, WithAJobEndsWhatItHoldsAndNothingElse) {
  FakeProcesses processes;
  processes.with_job();
  processes.add(100, {1, 10, FakeProcesses::kFull});
  processes.add(200, {100, 20, FakeProcesses::kFull, false, 0, true});
  // A child's id given to a stranger after the snapshot: younger than its
  // supposed parent, yet not in the job.
  processes.add(300, {200, 35, FakeProcesses::kFull});
  processes.add(310, {300, 36, FakeProcesses::kFull});
  // A worker whose launcher has ended, with a child of its own.
  processes.add(700, {666, 30, FakeProcesses::kFull, false, 0, true});
  processes.add(800, {700, 40, FakeProcesses::kFull, false, 0, true});
  // Not in the job: someone else's, whatever its parent id says.
  processes.add(900, {666, 31, FakeProcesses::kFull});
  EXPECT_EQ(end_process_tree(100, processes).spared, (std::vector<std::uint32_t>{300}));
  EXPECT_EQ(processes.ended(), (std::vector<std::uint32_t>{200, 800, 700}));
  EXPECT_EQ(processes.interrupted(), processes.ended());
}

TEST(EndProcessTree, LeavesTheOrphansOfAnEarlierOwnerOfTheId) {
  FakeProcesses processes;
  processes.add(600, {100, 5, FakeProcesses::kFull});  // its parent died before 100 was reused
  processes.add(601, {600, 6, FakeProcesses::kFull});
  processes.add(100, {1, 10, FakeProcesses::kFull});
  processes.add(200, {100, 20, FakeProcesses::kFull});
  processes.add(700, {200, 15, FakeProcesses::kFull});  // also older than its supposed parent
  end_process_tree(100, processes);
  EXPECT_EQ(processes.ended(), (std::vector<std::uint32_t>{200}));
}

TEST(EndProcessTree, WalksBelowAProcessItMayNotEnd) {
  FakeProcesses processes;
  processes.add(100, {1, 10, FakeProcesses::kFull});
  processes.add(200, {100, 20, FakeProcesses::kQueryOnly});
  processes.add(300, {200, 30, FakeProcesses::kFull});
  processes.add(201, {100, 21, FakeProcesses::kGone});  // cannot be checked: left alone
  processes.add(301, {201, 31, FakeProcesses::kFull});
  processes.add(202, {100, 22, FakeProcesses::kFull});
  processes.add(203, {203, 23, FakeProcesses::kFull});  // its own parent, as a broken entry may say
  end_process_tree(100, processes);
  EXPECT_EQ(processes.ended(), (std::vector<std::uint32_t>{300, 202}));
}

TEST(EndProcessTree, AProcessWithoutChildrenCostsOneSnapshot) {
  FakeProcesses processes;
  processes.add(100, {1, 10, FakeProcesses::kFull});
  processes.add(200, {1, 20, FakeProcesses::kFull});
  end_process_tree(100, processes);
  EXPECT_TRUE(processes.ended().empty());
  EXPECT_EQ(processes.snapshots(), 1);
  EXPECT_EQ(processes.waits(), 0);
}

struct Started {
  platform::unique_handle process;
  DWORD id;
};

Started start_component(const std::string& args) {
  std::string command = "\"" + testing::test_component() + "\" --no-args-file --quiet " + args;
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
    return {};
  }
  ::CloseHandle(info.hThread);
  return {platform::unique_handle(info.hProcess), info.dwProcessId};
}

std::uint64_t exit_time(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  ::GetProcessTimes(process, &created, &exited, &kernel, &user);
  return (static_cast<std::uint64_t>(exited.dwHighDateTime) << 32) | exited.dwLowDateTime;
}

TEST(EndProcessTree, EndsARealChainChildAfterGrandchild) {
  const Started child = start_component("--child --tick 0");
  ASSERT_TRUE(child.process);
  platform::unique_handle grandchild;
  for (int i = 0; i < 500 && !grandchild; ++i) {
    ::Sleep(10);
    for (const ProcessSystem::Entry& e : system_processes()->snapshot()) {
      if (e.parent_id == child.id) {
        grandchild.reset(
            ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, e.id));
      }
    }
  }
  ASSERT_TRUE(grandchild);

  end_process_tree(::GetCurrentProcessId(), *system_processes());
  EXPECT_EQ(::WaitForSingleObject(grandchild.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(::WaitForSingleObject(child.process.get(), 0), WAIT_OBJECT_0);
  EXPECT_LE(exit_time(grandchild.get()), exit_time(child.process.get()));
}

}  // namespace
}  // namespace vmrsmgr
