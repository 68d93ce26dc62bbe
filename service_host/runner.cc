#include "service_host/runner.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <iostream>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/executable_path.h"
#include "platform/handles.h"
#include "platform/last_error.h"
#include "platform/text.h"
#include "service_host/component_job.h"
#include "service_host/output_pipe.h"

namespace vmrsmgr {
namespace {

using platform::unique_handle;

std::int64_t now_ms() { return static_cast<std::int64_t>(platform::monotonic_ms()); }

std::string empty_chunk() {
  std::string chunk;
  chunk.reserve(Runner::kChunkSize);
  return chunk;
}

// The pipe's read under way, with the buffer and the record the system
// fills. However the reader leaves, a read still under way is cancelled and
// awaited before they go.
struct PipeRead {
  PipeRead(HANDLE pipe_handle, HANDLE done)
      : pipe(pipe_handle), buffer(Runner::kReadChunks * Runner::kChunkSize) {
    overlapped.hEvent = done;
  }
  ~PipeRead() {
    if (!active) return;
    ::CancelIoEx(pipe, &overlapped);
    DWORD ignored = 0;
    ::GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
  }
  PipeRead(const PipeRead&) = delete;
  PipeRead& operator=(const PipeRead&) = delete;

  HANDLE pipe;
  OVERLAPPED overlapped{};
  std::vector<char> buffer;
  bool active = false;
};

}  // namespace

std::string interpreter_command_line(const std::string& interpreter, const std::string& command) {
  return "\"" + interpreter + "\" /D /V:OFF /S /C \" " + command + " \"";
}

std::wstring command_interpreter() {
  const std::wstring folder = platform::system_folder();
  return folder.empty() ? folder : folder + L"\\cmd.exe";
}

RunnerCalls system_calls() {
  return {[](DWORD count, const HANDLE* handles, DWORD timeout_ms) {
            return ::WaitForMultipleObjects(count, handles, FALSE, timeout_ms);
          },
          random_pipe_name};
}

Runner::Runner(std::string command, std::string folder, const ComponentJob* job, RunnerCalls calls)
    : command_(std::move(command)),
      folder_(std::move(folder)),
      job_(job),
      calls_(std::move(calls)),
      output_ready_(platform::new_event(false)),
      wake_(platform::new_event(false)),
      current_(empty_chunk()) {}

void Runner::stop_reading(std::chrono::milliseconds after) {
  const std::int64_t at = now_ms() + static_cast<std::int64_t>(after.count());
  std::int64_t asked = stop_at_.load();
  while (at < asked && !stop_at_.compare_exchange_weak(asked, at)) {
  }
  ::SetEvent(wake_.get());
}

Runner::~Runner() {
  stop_reading(std::chrono::milliseconds(0));
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
    // A queue without room for a read has stopped the reading; this take
    // makes the room.
    if (queue_.size() + kReadChunks == kMaxChunks + 1) ::SetEvent(wake_.get());
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
  // Only now: whatever the last read brought is queued before the owner can
  // see the end.
  finished_.store(true);
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
  return queue_.size() + kReadChunks <= kMaxChunks;
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
  OutputPipe pipe = make_output_pipe(calls_.pipe_name, kPipeBuffer);

  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = pipe.write.get();
  startup.hStdError = pipe.write.get();
  // The system's interpreter by its full path, never one found beside the
  // program, also as the application name.
  const std::wstring interpreter_path = command_interpreter();
  if (interpreter_path.empty()) throw platform::failed_call("cannot find the command interpreter");
  const std::string interpreter = platform::to_narrow(interpreter_path);
  std::string command_line = interpreter_command_line(interpreter, command_);
  // Suspended until it is in the job, so that nothing it starts escapes.
  PROCESS_INFORMATION info{};
  const BOOL created =
      ::CreateProcessA(interpreter.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                       folder_.empty() ? nullptr : folder_.c_str(), &startup, &info);
  if (!created) {
    throw platform::failed_call(folder_.empty() ? "cannot start " + command_
                                                : "cannot start " + command_ + " in " + folder_);
  }
  const unique_handle process(info.hProcess);
  const unique_handle main_thread(info.hThread);
  if (job_ != nullptr) job_error_ = job_->assign(process.get());
  if (::ResumeThread(main_thread.get()) == static_cast<DWORD>(-1)) {
    const std::system_error error = platform::failed_call("cannot run " + command_);
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
  PipeRead reading(pipe, read_done.get());
  OVERLAPPED& overlapped = reading.overlapped;
  std::vector<char>& buffer = reading.buffer;
  bool command_ended = false;
  // Takes the result of the read under way; false when the pipe broke.
  const auto collect = [&](bool wait) {
    reading.active = false;
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

  for (;;) {
    const std::int64_t stop_at = stop_at_.load();
    const bool stopping = stop_at != kNoStop;
    const std::int64_t now = now_ms();
    if (stopping && now >= stop_at) break;
    if (!reading.active && has_room()) {
      if (!::ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                      &overlapped)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_BROKEN_PIPE) break;
        if (error != ERROR_IO_PENDING) {
          throw platform::windows_error(error, "cannot read the command's output");
        }
      }
      reading.active = true;
    }
    // A read that completed, also at once, is taken first.
    if (reading.active && HasOverlappedIoCompleted(&overlapped)) {
      if (!collect(false)) break;
      continue;
    }
    // A read still waiting means the pipe is empty now: without a stop, the
    // command's end is the end of the reading.
    if (reading.active && command_ended && !stopping) break;

    HANDLE handles[3] = {wake_.get(), read_done.get(), process};
    DWORD count = reading.active ? 2 : 1;
    const bool watch_command = !command_ended && !stopping;
    if (watch_command) handles[count++] = process;
    const DWORD timeout = stopping ? static_cast<DWORD>(stop_at - now) : INFINITE;
    // A finished read is taken at the top of the loop.
    const DWORD woke = calls_.wait_any(count, handles, timeout);
    if (woke == WAIT_FAILED) throw platform::failed_call("cannot wait for the command's output");
    if (watch_command && woke == WAIT_OBJECT_0 + count - 1) command_ended = true;
  }
  if (reading.active) {
    ::CancelIoEx(pipe, &overlapped);
    collect(true);
  }
}

}  // namespace vmrsmgr
