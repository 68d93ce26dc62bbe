// Stands in for a product component in the tests, the benchmark and the demo.
//
// It prints its arguments and numbered lines on standard output and standard
// error, then runs until it is interrupted or ended, printing a tick now and
// then. Options (the words of component.args beside the program are added to
// the command line, so that a service started with fixed arguments can be
// steered):
//   --lines N           numbered lines on each stream at the start (3)
//   --flood BYTES       then writes that many bytes as fast as it can, until
//                       interrupted, and the count written (every MB or so)
//                       to flooded.NAME
//   --child             starts a copy of itself, named grandchild, sharing its
//                       console and output
//   --children N        starts N such copies (grandchild, grandchild2, ...)
//   --worker            starts a copy named worker, inheriting no handles,
//                       through a middle copy that ends at once, so the worker
//                       is an orphan sharing the console
//   --exit CODE         ends with CODE once the lines are out, instead of running
//   --after MS          waits that long before it ends with --exit
//   --tick MS           interval of the tick lines while running (1000; 0: none)
//   --name NAME         shown in the output and in the marker's name (component)
//   --ignore-interrupt  writes the marker but keeps running
//   --quiet             prints neither its arguments nor its end
//   --end-on-broken-output  ends with exit code 42 once its output is gone
//   --no-args-file      does not read component.args (the grandchild)
// It writes its arguments to args.NAME and its process id to pid.NAME beside
// the program.
// On a console event it writes the event's name (ctrl-c, ctrl-break...) to the
// marker file interrupted.NAME beside the program and, unless told to ignore
// it, ends with exit code 0.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Options {
  int lines = 3;
  std::uint64_t flood = 0;
  int children = 0;
  bool worker = false;
  bool middle = false;
  bool exit = false;
  int exit_code = 0;
  int after_ms = 0;
  int tick_ms = 1000;
  std::string name = "component";
  bool ignore_interrupt = false;
  bool quiet = false;
  bool end_on_broken_output = false;
};

std::atomic<bool> g_interrupted{false};
std::wstring g_marker;
bool g_ignore_interrupt = false;
bool g_end_on_broken_output = false;

std::wstring own_path() {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), MAX_PATH);
  path.resize(length);
  return path;
}

std::wstring folder_of(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

void say(DWORD stream, const std::string& text) {
  const std::string line = text + "\r\n";
  DWORD written = 0;
  if (!::WriteFile(::GetStdHandle(stream), line.data(), static_cast<DWORD>(line.size()), &written,
                   nullptr) &&
      g_end_on_broken_output) {
    ::ExitProcess(42);
  }
}

void write_file(const std::wstring& path, const std::string& text) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
}

BOOL WINAPI on_interrupt(DWORD event) {
  write_file(g_marker, event == CTRL_C_EVENT       ? "ctrl-c"
                       : event == CTRL_BREAK_EVENT ? "ctrl-break"
                                                   : "event " + std::to_string(event));
  if (!g_ignore_interrupt) g_interrupted = true;
  return TRUE;
}

std::vector<std::string> words_of_file(const std::wstring& path) {
  std::ifstream in(path.c_str());
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

Options parse(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
      return args[++i];
    };
    if (a == "--lines") o.lines = std::stoi(value());
    if (a == "--flood") o.flood = std::stoull(value());
    if (a == "--child") o.children = 1;
    if (a == "--children") o.children = std::stoi(value());
    if (a == "--worker") o.worker = true;
    if (a == "--middle") o.middle = true;
    if (a == "--exit") {
      o.exit = true;
      o.exit_code = std::stoi(value());
    }
    if (a == "--after") o.after_ms = std::stoi(value());
    if (a == "--tick") o.tick_ms = std::stoi(value());
    if (a == "--name") o.name = value();
    if (a == "--ignore-interrupt") o.ignore_interrupt = true;
    if (a == "--quiet") o.quiet = true;
    if (a == "--end-on-broken-output") o.end_on_broken_output = true;
  }
  return o;
}

// Starts a copy of itself with the options; with_output: sharing its
// standard output and error, else inheriting no handle at all.
void start_copy(const std::wstring& self, const Options& o, const std::string& name,
                const std::wstring& options, bool with_output) {
  std::wstring command = L"\"" + self + L"\" --no-args-file --name " +
                         std::wstring(name.begin(), name.end()) + L" --tick " +
                         std::to_wstring(o.tick_ms) + options;
  if (o.end_on_broken_output) command += L" --end-on-broken-output";
  if (o.ignore_interrupt) command += L" --ignore-interrupt";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (with_output) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, with_output ? TRUE : FALSE, 0,
                        nullptr, nullptr, &startup, &process)) {
    say(STD_ERROR_HANDLE, "cannot start the " + name);
    return;
  }
  say(STD_OUTPUT_HANDLE, "started " + name + " " + std::to_string(process.dwProcessId));
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
}

// Writes how many bytes it got out to flooded.NAME beside the program.
void flood(std::uint64_t bytes, const std::wstring& report) {
  std::string block;
  for (int i = 0; block.size() < 65536 - 100; ++i) {
    block += "flood line " + std::to_string(i) + " abcdefghijklmnopqrstuvwxyz0123456789\r\n";
  }
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  std::uint64_t total = 0;
  for (int block_count = 1; bytes > 0 && !g_interrupted; ++block_count) {
    const DWORD size = static_cast<DWORD>(bytes < block.size() ? bytes : block.size());
    DWORD written = 0;
    if (!::WriteFile(out, block.data(), size, &written, nullptr) || written == 0) break;
    bytes -= written;
    total += written;
    // Now and then, as a writer blocked by a full pipe may be ended there.
    if (block_count % 16 == 0) write_file(report, std::to_string(total));
  }
  write_file(report, std::to_string(total));
}

int run(const std::vector<std::string>& args) {
  const Options o = parse(args);
  const std::wstring self = own_path();
  const std::wstring name(o.name.begin(), o.name.end());
  g_marker = folder_of(self) + L"interrupted." + name;
  g_ignore_interrupt = o.ignore_interrupt;
  g_end_on_broken_output = o.end_on_broken_output;
  ::SetConsoleCtrlHandler(on_interrupt, TRUE);

  std::string joined;
  for (const std::string& a : args) joined += " " + a;
  write_file(folder_of(self) + L"args." + name, joined);
  write_file(folder_of(self) + L"pid." + name, std::to_string(::GetCurrentProcessId()));
  if (!o.quiet) {
    say(STD_OUTPUT_HANDLE,
        o.name + " " + std::to_string(::GetCurrentProcessId()) + " args:" + joined);
  }
  for (int i = 1; i <= o.lines; ++i) {
    say(STD_OUTPUT_HANDLE, o.name + " stdout line " + std::to_string(i));
    say(STD_ERROR_HANDLE, o.name + " stderr line " + std::to_string(i));
  }
  if (o.middle) {
    start_copy(self, o, "worker", L" --lines 0 --quiet", false);
    return 0;
  }
  for (int i = 1; i <= o.children; ++i) {
    start_copy(self, o, i == 1 ? "grandchild" : "grandchild" + std::to_string(i), L" --lines 1",
               true);
  }
  if (o.worker) start_copy(self, o, "middle", L" --lines 0 --quiet --middle", true);
  if (o.flood > 0) flood(o.flood, folder_of(self) + L"flooded." + name);
  if (o.exit) {
    ::Sleep(static_cast<DWORD>(o.after_ms));
    if (!o.quiet) say(STD_OUTPUT_HANDLE, o.name + " exiting with " + std::to_string(o.exit_code));
    return o.exit_code;
  }
  for (int tick = 1; !g_interrupted; ++tick) {
    const int slices = o.tick_ms > 0 ? std::max(1, o.tick_ms / 10) : 100;
    for (int s = 0; s < slices && !g_interrupted; ++s) ::Sleep(10);
    if (o.tick_ms > 0 && !g_interrupted)
      say(STD_OUTPUT_HANDLE, o.name + " tick " + std::to_string(tick));
  }
  say(STD_OUTPUT_HANDLE, o.name + " interrupted");
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (std::find(args.begin(), args.end(), "--no-args-file") == args.end()) {
      for (std::string& word : words_of_file(folder_of(own_path()) + L"component.args")) {
        args.push_back(std::move(word));
      }
    }
    return run(args);
  } catch (const std::exception& e) {
    say(STD_ERROR_HANDLE, std::string("test component: ") + e.what());
    return 99;
  }
}
