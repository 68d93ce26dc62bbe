#include "service_host/runner.h"

#include <windows.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/handles.h"
#include "platform/last_error.h"
#include "platform/text.h"
#include "service_host/component_job.h"

namespace vmrsmgr {
namespace {

using platform::unique_handle;
using platform::unique_hlocal;

// A failure of the calling thread's last Windows call, as one line.
std::system_error failed_call(const std::string& what) {
  return platform::windows_error(::GetLastError(), what);
}

std::string empty_chunk() {
  std::string chunk;
  chunk.reserve(Runner::kChunkSize);
  return chunk;
}

// Tries with a new name when the one drawn is taken: 128 random bits make
// that a rare accident, never a siege that stops every launch.
constexpr int kPipeNameAttempts = 8;

std::wstring random_pipe_name() {
  unsigned char bits[16];
  if (!::RtlGenRandom(bits, sizeof(bits))) {
    throw std::runtime_error("cannot draw a name for the output pipe");
  }
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring name = L"\\\\.\\pipe\\vmrsmgr-" + std::to_wstring(::GetCurrentProcessId()) + L"-";
  for (const unsigned char b : bits) {
    name += kDigits[b >> 4];
    name += kDigits[b & 15];
  }
  return name;
}

// An access list that admits the service's own account and nobody else, so
// that no other user can open the pipe before the command gets its end.
unique_hlocal<PSECURITY_DESCRIPTOR> own_account_only() {
  unique_handle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    throw failed_call("cannot read the service's account");
  }
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size);
  if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) {
    throw failed_call("cannot read the service's account");
  }
  wchar_t* sid = nullptr;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
    throw failed_call("cannot read the service's account");
  }
  const unique_hlocal<wchar_t*> sid_owner(sid);
  const std::wstring text = std::wstring(L"D:P(A;;GA;;;") + sid + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    throw failed_call("cannot make the output pipe's access list");
  }
  return unique_hlocal<PSECURITY_DESCRIPTOR>(descriptor);
}

struct Pipe {
  unique_handle read;
  unique_handle write;
};

// A named pipe, for its read end is read with overlapped calls: the thread
// sleeps in a read that its owner can interrupt. Only the write end is
// inherited: a descendant that outlives the command must not hold the read end.
Pipe make_pipe(const std::function<std::wstring()>& new_name) {
  const unique_hlocal<PSECURITY_DESCRIPTOR> descriptor = own_account_only();
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = descriptor.get();
  std::wstring name;
  Pipe pipe;
  for (int attempt = 1;; ++attempt) {
    name = new_name();
    const HANDLE read = ::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        Runner::kPipeBuffer, 0, &security);
    if (read != INVALID_HANDLE_VALUE) {
      pipe.read.reset(read);
      break;
    }
    // Somebody holds the name already.
    const DWORD error = ::GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_PIPE_BUSY) ||
        attempt == kPipeNameAttempts) {
      throw platform::windows_error(error, "cannot create the output pipe");
    }
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
  std::wstring folder(MAX_PATH, L'\0');
  UINT length = ::GetSystemDirectoryW(folder.data(), MAX_PATH);
  if (length >= MAX_PATH) {
    folder.resize(length);
    length = ::GetSystemDirectoryW(folder.data(), length);
  }
  if (length == 0 || length >= folder.size()) return {};
  folder.resize(length);
  return folder + L"\\cmd.exe";
}

RunnerCalls system_calls() {
  return {[](DWORD count, const HANDLE* handles) {
            return ::WaitForMultipleObjects(count, handles, FALSE, INFINITE);
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
  Pipe pipe = make_pipe(calls_.pipe_name);

  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = pipe.write.get();
  startup.hStdError = pipe.write.get();
  // The system's interpreter by its full path, never one found beside the
  // program, also as the application name.
  const std::wstring interpreter_path = command_interpreter();
  if (interpreter_path.empty()) throw failed_call("cannot find the command interpreter");
  const std::string interpreter = platform::to_narrow(interpreter_path);
  std::string command_line = interpreter_command_line(interpreter, command_);
  // Suspended until it is in the job, so that nothing it starts escapes.
  PROCESS_INFORMATION info{};
  const BOOL created =
      ::CreateProcessA(interpreter.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                       folder_.empty() ? nullptr : folder_.c_str(), &startup, &info);
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
  PipeRead reading(pipe, read_done.get());
  OVERLAPPED& overlapped = reading.overlapped;
  std::vector<char>& buffer = reading.buffer;
  bool ended = false;  // the command has ended
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

  while (!finished()) {
    const int end = end_.load();
    if (!reading.active) {
      if (has_room()) {
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
    }
    // A read that completed, also at once, is taken first.
    if (reading.active && HasOverlappedIoCompleted(&overlapped)) {
      if (!collect(false)) break;
      continue;
    }
    // A read still waiting means the pipe is empty now.
    if (reading.active && (end == kWhenEmpty || (end == kWithCommand && ended))) break;

    HANDLE handles[3] = {wake_.get(), read_done.get(), process};
    DWORD count = reading.active ? 2 : 1;
    if (end == kWithCommand && !ended) handles[count++] = process;
    // A finished read is taken at the top of the loop.
    const DWORD woke = calls_.wait_any(count, handles);
    if (woke == WAIT_FAILED) throw failed_call("cannot wait for the command's output");
    if (woke == WAIT_OBJECT_0 + count - 1 && handles[count - 1] == process) ended = true;
  }
  if (reading.active) {
    ::CancelIoEx(pipe, &overlapped);
    collect(true);
  }
}

}  // namespace vmrsmgr
