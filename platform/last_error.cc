#include "platform/last_error.h"

#include <cerrno>

#include <boost/filesystem/exception.hpp>
#include <boost/system/error_code.hpp>

#ifdef _WIN32
#include <windows.h>
#include <ntsecapi.h>

#include "platform/handles.h"
#include "platform/text.h"
#endif

namespace vmrsmgr::platform {
namespace {

#ifdef _WIN32

// Keeps std::system_error's own "what: message" form while the message
// comes from FormatMessageW in the program's code page.
class WindowsCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "windows"; }
  std::string message(int code) const override {
    return system_message(static_cast<std::uint32_t>(code));
  }
};

// The text as the system gives it, its final "\r\n" as "\n".
std::string message_as_given(std::uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                       0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const unique_hlocal<wchar_t*> owner(buffer);
  if (length == 0) return {};
  std::string text = to_narrow(std::wstring(buffer, length));
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
    text.erase(text.size() - 2, 1);
  return text;
}

#else

std::string message_as_given(std::uint32_t code) {
  return std::generic_category().message(static_cast<int>(code));
}

#endif

}  // namespace

std::uint32_t last_error() noexcept {
#ifdef _WIN32
  return ::GetLastError();
#else
  return static_cast<std::uint32_t>(errno);
#endif
}

std::string system_message(std::uint32_t code) {
  std::string text = message_as_given(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string error_description(std::uint32_t code) {
  std::string text = system_message(code);
  return text.empty() ? "system error " + std::to_string(code) : text;
}

std::string error_description(const boost::system::error_code& error) {
  if (error.category() == boost::system::system_category()) {
    return error_description(static_cast<std::uint32_t>(error.value()));
  }
  return error.message();
}

std::string error_description(const std::exception& failure) {
  const auto* file_error = dynamic_cast<const boost::filesystem::filesystem_error*>(&failure);
  return file_error ? error_description(file_error->code()) : failure.what();
}

#ifdef _WIN32

std::system_error windows_error(std::uint32_t code, const std::string& what) {
  static const WindowsCategory category;
  return std::system_error(static_cast<int>(code), category, what);
}

std::system_error failed_call(const std::string& what) {
  return windows_error(::GetLastError(), what);
}

void print_error(std::uint32_t code, std::ostream& out) {
  const std::string text = message_as_given(code);
  if (text.empty()) return;
  // Text-mode streams turn "\n" into "\r\n" themselves.
  out << static_cast<int>(code) << '\n' << text << std::endl;
}

int report_failure(std::ostream& stream, const char* message, std::uint32_t error) {
  stream << message << std::endl;
  print_error(error);
  return 1;
}

void print_lsa_error(long status) { print_error(::LsaNtStatusToWinError(status)); }

#endif

}  // namespace vmrsmgr::platform
