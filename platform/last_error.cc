#include "platform/last_error.h"

#include <windows.h>

#include "platform/handles.h"
#include "platform/text.h"

namespace vmrsmgr::platform {

std::string system_message(std::uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                       0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const unique_hlocal<wchar_t*> owner(buffer);
  if (length == 0) return {};
  std::string text = to_narrow(std::wstring(buffer, length));
  // Streams in text mode turn "\n" into "\r\n" themselves.
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
    text.erase(text.size() - 2, 1);
  return text;
}

void print_last_error(std::ostream& out) {
  const DWORD code = ::GetLastError();
  const std::string text = system_message(code);
  if (text.empty()) return;
  out << static_cast<int>(code) << '\n' << text << std::endl;
}

}  // namespace vmrsmgr::platform
