#include "service_host/runner.h"

#include <windows.h>
#include <aclapi.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/handles.h"
#include "tests/windows_support.h"
#include "service_host/component_job.h"
#include "service_host/output_pipe.h"
#include "service_host/process_tree.h"
#include "tests/capture.h"

namespace vmrsmgr {
namespace {

std::string component_command(const std::string& args) {
  return "\"" + testing::test_component() + "\" " + args;
}

// Whether the runner is done, with a bound so that a fault fails the test
// rather than hanging it.
bool more(Runner& runner, DWORD started) {
  if (::GetTickCount() - started > 60000) {
    ADD_FAILURE() << "the runner never finished";
    return false;
  }
  return !runner.finished() || runner.pending() != 0;
}

// Everything the command writes, taken the way the service takes it.
std::string drain(Runner& runner) {
  std::string all;
  for (const DWORD started = ::GetTickCount(); more(runner, started);) {
    const std::string chunk = runner.take_output();
    if (chunk.empty()) ::Sleep(10);
    all += chunk;
  }
  return all;
}

TEST(Runner, CollectsBothStreamsToTheLastLineAndTheExitCode) {
  Runner runner(component_command("--lines 2 --exit 3"));
  runner.start();
  const std::string output = drain(runner);
  EXPECT_EQ(runner.wait(), 3u);
  EXPECT_NE(output.find("args: --lines 2 --exit 3\r\n"), std::string::npos) << output;
  const std::string::size_type out2 = output.find("component stdout line 2\r\n");
  const std::string::size_type err2 = output.find("component stderr line 2\r\n");
  EXPECT_NE(out2, std::string::npos) << output;
  EXPECT_NE(err2, std::string::npos) << output;
  // Written just before the end: still there, and last.
  const std::string last = "component exiting with 3\r\n";
  ASSERT_GE(output.size(), last.size());
  EXPECT_EQ(output.substr(output.size() - last.size()), last) << output;
  EXPECT_EQ(runner.take_output(), "");
  EXPECT_EQ(runner.pending(), 0u);
}

TEST(Runner, AFullChunkWaitsInTheQueueWhole) {
  Runner runner(component_command("--quiet --lines 0 --flood 65536 --exit 0"));
  EXPECT_EQ(runner.pending(), 0u);
  runner.start();
  EXPECT_EQ(runner.wait(), 0u);
  EXPECT_EQ(runner.pending(), 1u);
  EXPECT_EQ(runner.take_output().size(), Runner::kChunkSize);
  EXPECT_EQ(runner.pending(), 0u);
  EXPECT_EQ(runner.take_output(), "");
}

TEST(Runner, AFolderThatCannotBeEnteredEndsLikeAFailedLaunch) {
  const CapturedOutput captured;
  Runner runner(component_command("--exit 0"), "C:\\no\\such\\folder\\");
  runner.start();
  EXPECT_TRUE(runner.finished());  // the launch is over when start returns
  EXPECT_EQ(runner.wait(), 1u);
  EXPECT_EQ(runner.pending(), 0u);
  EXPECT_EQ(captured.err().rfind("Bad exec: cannot start ", 0), 0u) << captured.err();
  EXPECT_NE(captured.err().find("C:\\no\\such\\folder\\"), std::string::npos);
}

TEST(Runner, StartsTheCommandInTheGivenFolder) {
  const std::string folder = testing::program_folder();
  Runner runner("cd", folder);
  runner.start();
  EXPECT_EQ(drain(runner), folder.substr(0, folder.size() - 1) + "\r\n");
}

// Windows' cmd runs the registry's AutoRun commands unless told /D, and
// Wine's cmd never does, so only the command line can show it.
TEST(Runner, TheInterpreterSkipsAutoRunAndKeepsTheCommandsQuoting) {
  EXPECT_EQ(
      interpreter_command_line("C:\\Windows\\system32\\cmd.exe",
                               "\"C:\\Program Files\\x\\..\\dariri\\dariri.exe\" -i -d start"),
      "\"C:\\Windows\\system32\\cmd.exe\" /D /V:OFF /S /C \" "
      "\"C:\\Program Files\\x\\..\\dariri\\dariri.exe\" -i -d start \"");
}

TEST(Runner, AnImmediateStopEndsTheReadingWhileTheCommandRuns) {
  Runner runner(component_command("--tick 50"));
  runner.start();
  for (int i = 0; i < 1000 && runner.pending() == 0; ++i) ::Sleep(10);
  runner.stop_reading(std::chrono::milliseconds(0));
  EXPECT_EQ(runner.wait(), static_cast<std::uint32_t>(STILL_ACTIVE));
  end_process_tree(::GetCurrentProcessId(), *system_processes());
}

TEST(Runner, StopsReadingWhileTheQueueIsFullAndLosesNothing) {
  const std::uint64_t bytes = 4 * 1024 * 1024;
  Runner runner(
      component_command("--quiet --lines 0 --flood " + std::to_string(bytes) + " --exit 0"));
  runner.start();
  // Nobody takes output: the command waits on its writes.
  ::Sleep(1500);
  EXPECT_FALSE(runner.finished());
  EXPECT_LE(runner.pending(), Runner::kMaxChunks + 1);  // the full ones and the one filling
  EXPECT_EQ(drain(runner).size(), bytes);
  EXPECT_EQ(runner.wait(), 0u);
}

TEST(Runner, AnImmediateStopReleasesAReadThatWaitsOnASilentCommand) {
  Runner runner(component_command("--quiet --lines 0 --tick 0"));
  runner.start();
  ::Sleep(300);
  EXPECT_EQ(::WaitForSingleObject(runner.output_ready(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  runner.stop_reading(std::chrono::milliseconds(0));
  EXPECT_EQ(runner.wait(), static_cast<std::uint32_t>(STILL_ACTIVE));
  EXPECT_EQ(::WaitForSingleObject(runner.output_ready(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  end_process_tree(::GetCurrentProcessId(), *system_processes());
}

// A read still under way when the wait fails is cancelled and awaited before
// its buffer goes: the system would write into freed memory otherwise.
TEST(Runner, AFailedWaitCollectsTheReadUnderWay) {
  RunnerCalls calls = system_calls();
  platform::unique_handle read_done;
  calls.wait_any = [&read_done](DWORD count, const HANDLE* handles, DWORD timeout) -> DWORD {
    // The command is silent: its first wait has a read under way, whose
    // event comes second.
    if (count >= 2 && !read_done) {
      ::DuplicateHandle(::GetCurrentProcess(), handles[1], ::GetCurrentProcess(), read_done.put(),
                        SYNCHRONIZE, FALSE, 0);
      ::SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    return ::WaitForMultipleObjects(count, handles, FALSE, timeout);
  };
  const CapturedOutput captured;
  // The job ends the command, also when it starts the component after the
  // failure.
  const ComponentJob job;
  Runner runner(component_command("--quiet --lines 0 --tick 0"), {}, &job, calls);
  runner.start();
  EXPECT_EQ(runner.wait(), 1u);
  job.terminate(5000);
  ASSERT_TRUE(read_done);
  EXPECT_EQ(::WaitForSingleObject(read_done.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(runner.failure().rfind("Bad exec: cannot wait for the command's output", 0), 0u)
      << runner.failure();
}

// During a stop the command's end no longer ends the reading: what the
// processes still being ended print is read until the stop's limit.
TEST(Runner, AStopReadsWhatTheProcessesPrintAfterTheCommandEnded) {
  const ComponentJob job;
  Runner runner(component_command("--child --tick 50 --exit 0 --after 300"), {}, &job);
  runner.start();
  runner.stop_reading(std::chrono::milliseconds(1500));
  const std::string output = drain(runner);
  const std::string::size_type ended = output.find("component exiting with 0");
  ASSERT_NE(ended, std::string::npos) << output;
  // Ticks of the second after it, not only what the pipe held at its end.
  int ticks = 0;
  for (auto at = output.find("grandchild tick", ended); at != std::string::npos;
       at = output.find("grandchild tick", at + 1)) {
    ++ticks;
  }
  EXPECT_GE(ticks, 10) << output;
  EXPECT_EQ(runner.wait(), 0u);
  job.terminate(5000);
}

// A stop's time limit that runs out while a read completes: that read's
// bytes are queued before the runner says it has finished, so an owner that
// takes until then loses none.
TEST(Runner, TheLastReadOfAStopIsQueuedBeforeTheEnd) {
  RunnerCalls calls = system_calls();
  calls.wait_any = [](DWORD count, const HANDLE* handles, DWORD timeout) -> DWORD {
    if (timeout == INFINITE) return ::WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    // Sleeps past the limit while the command's next tick arrives.
    ::Sleep(timeout + 400);
    return WAIT_TIMEOUT;
  };
  const ComponentJob job;
  Runner runner(component_command("--quiet --lines 0 --tick 100"), {}, &job, calls);
  runner.start();
  for (int i = 0; i < 1000 && runner.pending() == 0; ++i) ::Sleep(10);
  while (!runner.take_output().empty()) {
  }
  runner.stop_reading(std::chrono::milliseconds(50));
  for (int i = 0; i < 1000 && !runner.finished(); ++i) ::Sleep(1);
  ASSERT_TRUE(runner.finished());
  EXPECT_NE(runner.take_output().find("tick"), std::string::npos);
  EXPECT_EQ(runner.wait(), static_cast<std::uint32_t>(STILL_ACTIVE));
  job.terminate(5000);
}

TEST(Runner, APipeNameSomebodyHoldsIsReplacedByAnother) {
  const std::wstring taken = L"\\\\.\\pipe\\vmrsmgr-test-taken";
  const platform::unique_hfile squatter(
      ::CreateNamedPipeW(taken.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                         PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr));
  ASSERT_TRUE(squatter);
  RunnerCalls calls = system_calls();
  int names = 0;
  calls.pipe_name = [&names, taken, next = calls.pipe_name] {
    return ++names == 1 ? taken : next();
  };
  Runner runner(component_command("--lines 1 --exit 0"), {}, nullptr, calls);
  runner.start();
  EXPECT_NE(drain(runner).find("component stdout line 1"), std::string::npos);
  EXPECT_EQ(runner.wait(), 0u);
  EXPECT_EQ(names, 2);
}

// Owned by the service's account, which alone may use it; the owner keeps
// no implicit right to read or change the list.
TEST(Runner, TheOutputPipeBelongsToTheServicesAccountAlone) {
  const OutputPipe pipe = make_output_pipe(random_pipe_name, 4096);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(::GetSecurityInfo(pipe.read.get(), SE_KERNEL_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  const platform::unique_hlocal<PSECURITY_DESCRIPTOR> held(descriptor);
  platform::unique_handle token;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()));
  std::vector<unsigned char> user(256);
  DWORD size = 0;
  ASSERT_TRUE(::GetTokenInformation(token.get(), TokenUser, user.data(),
                                    static_cast<DWORD>(user.size()), &size));
  const PSID account = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  EXPECT_TRUE(::EqualSid(owner, account));
  SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
  PSID owner_rights = nullptr;
  ASSERT_TRUE(::AllocateAndInitializeSid(&creator, 1, SECURITY_CREATOR_OWNER_RIGHTS_RID, 0, 0, 0, 0,
                                         0, 0, 0, &owner_rights));
  const struct {
    PSID trustee;
    ACCESS_MASK mask;
  } entries[] = {{account, FILE_ALL_ACCESS}, {owner_rights, 0}};
  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, 2u);
  for (DWORD i = 0; i < 2; ++i) {
    void* entry = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, &entry));
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
    EXPECT_EQ(allowed->Mask, entries[i].mask) << i;
    EXPECT_TRUE(::EqualSid(const_cast<DWORD*>(&allowed->SidStart), entries[i].trustee)) << i;
  }
  ::FreeSid(owner_rights);
}

// The command's descendants get only the write end of the pipe: one that
// outlives the command sees its output vanish with the runner, rather than
// writing into a pipe it keeps alive itself.
TEST(Runner, ADescendantThatOutlivesTheCommandDoesNotKeepThePipe) {
  std::string output;
  {
    Runner runner(component_command("--child --tick 50 --end-on-broken-output --exit 0"));
    runner.start();
    output = drain(runner);
  }
  const std::string::size_type at = output.find("started grandchild ");
  ASSERT_NE(at, std::string::npos) << output;
  const DWORD id = static_cast<DWORD>(std::stoul(output.substr(at + 19)));
  const platform::unique_handle grandchild(::OpenProcess(
      SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, id));
  ASSERT_TRUE(grandchild);
  const bool ended = ::WaitForSingleObject(grandchild.get(), 5000) == WAIT_OBJECT_0;
  if (!ended) ::TerminateProcess(grandchild.get(), 1);
  ASSERT_TRUE(ended);
  DWORD code = 0;
  ::GetExitCodeProcess(grandchild.get(), &code);
  EXPECT_EQ(code, 42u);
}

}  // namespace
}  // namespace vmrsmgr
