#include "service_host/runner.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <iostream>
#include <system_error>
#include <utility>
#include <vector>

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

// A named pipe, for its read end is read with overlapped calls: the thread
// sleeps in a read that its owner can interrupt. Only the write end is
// inherited: a descendant that outlives the command must not hold the read end.
Pipe make_pipe() {
  static std::atomic<unsigned> serial{0};
  const std::wstring name = L"\\\\.\\pipe\\vmrsmgr-" + std::to_wstring(::GetCurrentProcessId()) +
                            L"-" + std::to_wstring(++serial);
  Pipe pipe;
  pipe.read.reset(::CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
      Runner::kPipeBuffer, 0, nullptr));
  if (pipe.read.get() == INVALID_HANDLE_VALUE) {
    pipe.read.release();
    throw failed_call("cannot create the output pipe");
  }
  SECURITY_ATTRIBUTES inherited{};
  inherited.nLength = sizeof(inherited);
  inherited.bInheritHandle = TRUE;
  pipe.write.reset(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherited, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (pipe.write.get() == INVALID_HANDLE_VALUE) {
    pipe.write.release();
    throw failed_call("cannot hand the output pipe to the command");
  }
  return pipe;
}

}  // namespace

Runner::Runner(std::string command, std::string folder, const ComponentJob* job)
    : command_(std::move(command)),
      folder_(std::move(folder)),
      job_(job),
      output_ready_(platform::new_event(false)),
      wake_(platform::new_event(false)),
      current_(empty_chunk()) {}

void Runner::finish() {
  finished_.store(1);
  ::SetEvent(wake_.get());
}

void Runner::hold() { set_end(kHeld); }
void Runner::end_when_empty() { set_end(kWhenEmpty); }

void Runner::set_end(int end) {
  end_.store(end);
  ::SetEvent(wake_.get());
}

Runner::~Runner() {
  finish();
  if (thread_.joinable()) thread_.join();
}

void Runner::start() {
  thread_ = std::thread(std::ref(*this));
  std::unique_lock<std::mutex> lock(mutex_);
  launched_changed_.wait(lock, [this] { return launched_; });
}

std::string Runner::take_output() {
  const std::lock_guard<std::mutex> lock(mutex_);
  // Only chunks with bytes are queued, so that pending() falls to 0 once all
  // output is taken.
  if (!queue_.empty()) {
    // A full queue has stopped the reading.
    if (queue_.size() == kMaxChunks) ::SetEvent(wake_.get());
    std::string oldest = std::move(queue_.front());
    queue_.pop_front();
    return oldest;
  }
  if (current_.empty()) return {};
  return std::exchange(current_, empty_chunk());
}

std::size_t Runner::pending() {
  const std::lock_guard<std::mutex> lock(mutex_);
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
    const std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::move(failure);
  }
  finish();
  ::SetEvent(output_ready_.get());
  mark_launched();  // also when the launch itself failed
}

std::string Runner::failure() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

void Runner::mark_launched() {
  const std::lock_guard<std::mutex> lock(mutex_);
  launched_ = true;
  launched_changed_.notify_all();
}

bool Runner::has_room() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size() < kMaxChunks;
}

void Runner::append(const char* bytes, std::size_t size) {
  bool was_empty = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    was_empty = queue_.empty() && current_.empty();
    while (size > 0) {
      const std::size_t part = std::min(size, kChunkSize - current_.size());
      current_.append(bytes, part);
      bytes += part;
      size -= part;
      if (current_.size() == kChunkSize) queue_.push_back(std::exchange(current_, empty_chunk()));
    }
  }
  // An owner that found output waiting takes again before it sleeps: only one
  // that may have found none needs waking.
  if (was_empty) ::SetEvent(output_ready_.get());
}

void Runner::launch_and_read() {
  Pipe pipe = make_pipe();

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

  // From now on the command and what it starts hold the only write ends:
  // the pipe breaks when the last of them has gone.
  const HANDLE read = pipe.read.get();
  pipe.write.reset();
  read_until_done(read, process.get());

  DWORD code = 0;
  exit_code_ = ::GetExitCodeProcess(process.get(), &code) ? code : 1;
}

void Runner::read_until_done(HANDLE pipe, HANDLE process) {
  const unique_handle read_done = platform::new_event(true);
  OVERLAPPED overlapped{};
  overlapped.hEvent = read_done.get();
  std::vector<char> buffer(kChunkSize);
  bool reading = false;
  bool ended = false;  // the command has ended
  // Takes the result of the read under way; false when the pipe broke.
  const auto collect = [&](bool wait) {
    reading = false;
    DWORD got = 0;
    if (::GetOverlappedResult(pipe, &overlapped, &got, wait ? TRUE : FALSE)) {
      if (got > 0) append(buffer.data(), got);
      return true;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_BROKEN_PIPE) return false;
    if (error == ERROR_OPERATION_ABORTED) return true;
    throw platform::windows_error(error, "cannot read the command's output");
  };

  while (!finished()) {
    const int end = end_.load();
    if (!reading) {
      if (has_room()) {
        if (!::ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                        &overlapped)) {
          const DWORD error = ::GetLastError();
          if (error == ERROR_BROKEN_PIPE) break;
          if (error != ERROR_IO_PENDING) {
            throw platform::windows_error(error, "cannot read the command's output");
          }
        }
        reading = true;
      }
    }
    // A read that completed, also at once, is taken first.
    if (reading && HasOverlappedIoCompleted(&overlapped)) {
      if (!collect(false)) break;
      continue;
    }
    // A read still waiting means the pipe is empty now.
    if (reading && (end == kWhenEmpty || (end == kWithCommand && ended))) break;

    HANDLE handles[3] = {wake_.get(), read_done.get(), process};
    DWORD count = reading ? 2 : 1;
    if (end == kWithCommand && !ended) handles[count++] = process;
    // A finished read is taken at the top of the loop.
    const DWORD woke = ::WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    if (woke == WAIT_FAILED) throw failed_call("cannot wait for the command's output");
    if (woke == WAIT_OBJECT_0 + count - 1 && handles[count - 1] == process) ended = true;
  }
  if (reading) {
    ::CancelIoEx(pipe, &overlapped);
    collect(true);
  }
}

}  // namespace vmrsmgr
