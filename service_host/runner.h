#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/handles.h"

namespace vmrsmgr {

class ComponentJob;

// The system's command interpreter by its full path: a bare "cmd" would be
// looked for in the program's own folder and the current folder first.
std::wstring command_interpreter();

// What the interpreter is given: /D, without the AutoRun commands of the
// registry, which could change the folder or the environment or print into
// the log; /V:OFF, "!" a plain character; with /S it strips the outer quotes
// only, so the command keeps its own quoting.
std::string interpreter_command_line(const std::string& interpreter, const std::string& command);

// The calls of the reading thread that tests replace, to bring about what
// cannot be arranged for real.
struct RunnerCalls {
  // Waits for any of the handles; answers as WaitForMultipleObjects does,
  // with the last error set on failure.
  std::function<DWORD(DWORD count, const HANDLE* handles, DWORD timeout_ms)> wait_any;
  // A name for the output pipe that nobody else can foresee.
  std::function<std::wstring()> pipe_name;
};
RunnerCalls system_calls();

// Runs one command through the command interpreter on a thread of its own and
// collects everything it writes on standard output and standard error, handing
// it to the owner in chunks, oldest first. The thread sleeps in its read while
// the command is silent, and stops reading while kMaxChunks full chunks wait,
// so that a command that writes faster than the owner takes waits on its own
// writes instead of filling the memory.
class Runner {
 public:
  static constexpr std::size_t kChunkSize = 65536;
  static constexpr std::size_t kMaxChunks = 16;
  // A read takes up to this many chunks at once: under Wine each read and
  // each hand-over costs round trips to its server, so a flood is read in
  // few large pieces. Reading waits for room for a whole read.
  static constexpr std::size_t kReadChunks = 4;
  // A large pipe lets a fast writer go on while the reader hands a chunk over.
  static constexpr std::uint32_t kPipeBuffer = 1024 * 1024;

  // folder: where the command starts; empty for the service's own folder.
  // job: where the command is placed before it runs, when there is one.
  explicit Runner(std::string command, std::string folder = {}, const ComponentJob* job = nullptr,
                  RunnerCalls calls = system_calls());
  // Stops reading at once and waits for the thread. Does not end the command.
  ~Runner();
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  // Starts the thread and returns once the command was launched or failed to
  // launch. Raises std::system_error when no thread can be made.
  void start();
  // After start: the command's process id, 0 when it was not launched; then
  // why not, with the system's error code (0 for a failure of another kind).
  std::uint32_t process_id() const { return process_id_; }
  std::uint32_t launch_error() const { return launch_error_; }
  // Once finished: what went wrong in the thread ("Bad exec: ..."), if anything.
  std::string failure();
  // After start: 0 when the command runs in the job, or why it could not be
  // placed there (it runs all the same).
  std::uint32_t job_error() const { return job_error_; }

  // The oldest chunk, possibly empty.
  std::string take_output();
  // Queued chunks, plus the current one when it holds bytes.
  std::size_t pending();
  // Signalled when output arrived or the thread finished: the owner waits on
  // it instead of polling.
  HANDLE output_ready() const { return output_ready_.get(); }

  // Set by the thread once it has read its last: the command has ended and
  // its output was read, or the reading was stopped. Nothing is added after.
  bool finished() const { return finished_.load(); }
  // The one stop: from now on the command's end no longer ends the reading,
  // so that what its processes print while they are being ended is read too.
  // The reading ends once the pipe breaks, its last writer gone, and at the
  // latest after the given time, with whatever its last read brought. An
  // earlier end than one asked before wins.
  void stop_reading(std::chrono::milliseconds after);
  // Waits for the thread; then the command's exit code: 1 when it could not
  // be launched, 259 (still active) when reading stopped before it ended.
  std::uint32_t wait();

  void operator()();  // the thread body

 private:
  void launch_and_read();
  void read_until_done(HANDLE pipe, HANDLE process);
  void mark_launched();
  // Whether another read may be queued: not unless a whole read's chunks
  // fit beside those that wait.
  bool has_room();
  void append(const char* bytes, std::size_t size);

  const std::string command_;
  const std::string folder_;
  const ComponentJob* const job_;
  const RunnerCalls calls_;
  // Written by the thread before the launch is marked.
  std::uint32_t job_error_ = 0;
  std::uint32_t process_id_ = 0;
  std::uint32_t launch_error_ = 0;
  std::thread thread_;
  platform::unique_handle output_ready_;
  platform::unique_handle wake_;  // the thread's: a stop, room again

  std::mutex mutex_;  // guards everything up to the exit code
  std::deque<std::string> queue_;
  std::string failure_;
  std::string current_;
  bool launched_ = false;
  std::condition_variable launched_changed_;

  std::atomic<bool> finished_{false};
  // When the reading ends at the latest, in steady clock milliseconds.
  std::atomic<std::int64_t> stop_at_{kNoStop};
  static constexpr std::int64_t kNoStop = INT64_MAX;
  std::uint32_t exit_code_ = 0;  // the thread's, until it ends
};

}  // namespace vmrsmgr
