#include "service_host/runner.h"

#include <windows.h>

#include <exception>
#include <iostream>
#include <system_error>
#include <utility>
#include <vector>

#include <boost/thread/locks.hpp>

#include "platform/handles.h"
#include "platform/last_error.h"
#include "service_host/component_job.h"

namespace vmrsmgr {
namespace {

using platform::unique_handle;

// A failure of the calling thread's last Windows call, as one line.
std::system_error failed_call(const std::string& what) {
  return platform::windows_error(::GetLastError(), what);
}

std::string empty_chunk() {
  std::string chunk;
  chunk.reserve(Runner::kChunkSize);
  return chunk;
}

struct Pipe {
  unique_handle read;
  unique_handle write;
};

// Only the write end is inherited: a descendant that outlives the command must
// not hold the read end, nor the reader see a broken pipe before the end.
Pipe make_pipe() {
  Pipe pipe;
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  if (!::CreatePipe(pipe.read.put(), pipe.write.put(), &attributes, Runner::kPipeBuffer)) {
    throw failed_call("cannot create the output pipe");
  }
  if (!::SetHandleInformation(pipe.write.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
    throw failed_call("cannot hand the output pipe to the command");
  }
  DWORD mode = PIPE_NOWAIT;
  if (!::SetNamedPipeHandleState(pipe.read.get(), &mode, nullptr, nullptr)) {
    throw failed_call("cannot make the output pipe non-blocking");
  }
  return pipe;
}

}  // namespace

Runner::Runner(std::string command, std::string folder, const ComponentJob* job)
    : command_(std::move(command)),
      folder_(std::move(folder)),
      job_(job),
      current_(empty_chunk()) {}

Runner::~Runner() {
  finish();
  if (thread_.joinable()) thread_.join();
}

void Runner::start() {
  thread_ = boost::thread(boost::ref(*this));
  boost::unique_lock<boost::mutex> lock(mutex_);
  launched_changed_.wait(lock, [this] { return launched_; });
}

std::string Runner::take_output() {
  const boost::lock_guard<boost::mutex> lock(mutex_);
  // Only chunks with bytes are queued, so that pending() falls to 0 once all
  // output is taken.
  if (!queue_.empty()) {
    std::string oldest = std::move(queue_.front());
    queue_.pop_front();
    return oldest;
  }
  if (current_.empty()) return {};
  return std::exchange(current_, empty_chunk());
}

std::size_t Runner::pending() {
  const boost::lock_guard<boost::mutex> lock(mutex_);
  return queue_.size() + (current_.empty() ? 0 : 1);
}

std::uint32_t Runner::wait() {
  if (thread_.joinable()) thread_.join();
  return exit_code_;
}

void Runner::operator()() {
  std::string failure;
  try {
    launch_and_read();
  } catch (const std::system_error& e) {
    if (process_id_ == 0) launch_error_ = static_cast<std::uint32_t>(e.code().value());
    failure = std::string("Bad exec: ") + e.what();
  } catch (const std::exception& e) {
    failure = std::string("Bad exec: ") + e.what();
  } catch (...) {
    failure = "Bad exec!";
  }
  if (!failure.empty()) {
    exit_code_ = 1;
    std::cerr << failure << std::endl;
    const boost::lock_guard<boost::mutex> lock(mutex_);
    failure_ = std::move(failure);
  }
  finish();
  mark_launched();  // also when the launch itself failed
}

std::string Runner::failure() {
  const boost::lock_guard<boost::mutex> lock(mutex_);
  return failure_;
}

void Runner::mark_launched() {
  const boost::lock_guard<boost::mutex> lock(mutex_);
  launched_ = true;
  launched_changed_.notify_all();
}

void Runner::append(const char* bytes, std::size_t size) {
  current_.append(bytes, size);
  if (current_.size() == kChunkSize) queue_.push_back(std::exchange(current_, empty_chunk()));
}

void Runner::launch_and_read() {
  const Pipe pipe = make_pipe();

  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = pipe.write.get();
  startup.hStdError = pipe.write.get();
  // With /S the interpreter strips the outer quotes only, so the command keeps
  // its own quoting.
  std::string command_line = "cmd /S /C \" " + command_ + " \"";
  // Suspended until it is in the job, so that nothing it starts escapes.
  PROCESS_INFORMATION info{};
  const BOOL created = ::CreateProcessA(
      nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
      nullptr, folder_.empty() ? nullptr : folder_.c_str(), &startup, &info);
  if (!created) {
    throw failed_call(folder_.empty() ? "cannot start " + command_
                                      : "cannot start " + command_ + " in " + folder_);
  }
  const unique_handle process(info.hProcess);
  const unique_handle main_thread(info.hThread);
  if (job_ != nullptr) job_error_ = job_->assign(process.get());
  if (::ResumeThread(main_thread.get()) == static_cast<DWORD>(-1)) {
    const std::system_error error = failed_call("cannot run " + command_);
    ::TerminateProcess(process.get(), 1);
    throw error;
  }
  process_id_ = info.dwProcessId;
  mark_launched();

  // Our own write end stays open, so an empty pipe never reads as broken: the
  // end of the command is seen on its process handle, and only after a read
  // found the pipe empty, so that nothing written before the end is lost.
  std::vector<char> buffer(kChunkSize);
  bool read_something = false;
  bool ended = false;
  while (!finished()) {
    if (!read_something && ::WaitForSingleObject(process.get(), 10) != WAIT_TIMEOUT) {
      // Held, the reader waits for what the command's descendants still say.
      if (ended && end_.load() == kHeld) ::Sleep(10);
      ended = true;
    }
    std::size_t room = 0;
    {
      const boost::lock_guard<boost::mutex> lock(mutex_);
      room = kChunkSize - current_.size();
    }
    // The room can only grow meanwhile: take_output replaces the chunk.
    DWORD got = 0;
    read_something =
        ::ReadFile(pipe.read.get(), buffer.data(), static_cast<DWORD>(room), &got, nullptr) &&
        got > 0;
    if (!read_something) {
      const int end = end_.load();
      if ((ended && end == kWithCommand) || end == kWhenEmpty) break;
    }
    if (read_something) {
      const boost::lock_guard<boost::mutex> lock(mutex_);
      append(buffer.data(), got);
    }
  }

  DWORD code = 0;
  exit_code_ = ::GetExitCodeProcess(process.get(), &code) ? code : 1;
}

}  // namespace vmrsmgr
