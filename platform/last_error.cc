#include "platform/last_error.h"

#include <windows.h>

#include "platform/handles.h"
#include "platform/text.h"

namespace vmrsmgr::platform {
namespace {

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

}  // namespace

std::string system_message(std::uint32_t code) {
  std::string text = message_as_given(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::system_error windows_error(std::uint32_t code, const std::string& what) {
  static const WindowsCategory category;
  return std::system_error(static_cast<int>(code), category, what);
}

void print_error(std::uint32_t code, std::ostream& out) {
  const std::string text = message_as_given(code);
  if (text.empty()) return;
  // Text-mode streams turn "\n" into "\r\n" themselves.
  out << static_cast<int>(code) << '\n' << text << std::endl;
}

}  // namespace vmrsmgr::platform
