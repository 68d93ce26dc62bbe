#include "platform/console.h"

#include <windows.h>

#include <iostream>

#include "platform/text.h"

namespace vmrsmgr::platform {

WideTextBuffer::~WideTextBuffer() {
  try {
    sync();
  } catch (...) {
    // Text that cannot be converted at the end is lost, never a crash.
  }
}

WideTextBuffer::int_type WideTextBuffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char ch = traits_type::to_char_type(c);
  pending_.push_back(ch);
  if (ch == '\n') sync();
  return c;
}

std::streamsize WideTextBuffer::xsputn(const char* text, std::streamsize count) {
  pending_.append(text, static_cast<std::size_t>(count));
  if (!pending_.empty() && pending_.back() == '\n') sync();
  return count;
}

int WideTextBuffer::sync() {
  if (pending_.empty()) return 0;
  const std::wstring wide = to_wide(pending_);
  pending_.clear();
  write_(wide);
  return 0;
}

namespace {

// The standard handle when it is a console, else null.
HANDLE console_of(DWORD which) {
  const HANDLE handle = ::GetStdHandle(which);
  DWORD mode = 0;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &mode)) {
    return nullptr;
  }
  return handle;
}

void write_console(HANDLE console, const std::wstring& text) {
  const wchar_t* data = text.data();
  DWORD left = static_cast<DWORD>(text.size());
  while (left > 0) {
    DWORD written = 0;
    if (!::WriteConsoleW(console, data, left, &written, nullptr) || written == 0) return;
    data += written;
    left -= written;
  }
}

}  // namespace

struct ConsoleTextOutput::Redirect {
  Redirect(std::ostream& stream, HANDLE console)
      : stream_(stream),
        buffer_([console](const std::wstring& text) { write_console(console, text); }),
        saved_(stream.rdbuf(&buffer_)) {}
  ~Redirect() {
    stream_.flush();
    stream_.rdbuf(saved_);
  }
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

  std::ostream& stream_;
  WideTextBuffer buffer_;
  std::streambuf* saved_;
};

ConsoleTextOutput::ConsoleTextOutput() {
  if (const HANDLE out = console_of(STD_OUTPUT_HANDLE)) {
    std::cout.flush();
    out_ = std::make_unique<Redirect>(std::cout, out);
  }
  if (const HANDLE err = console_of(STD_ERROR_HANDLE)) {
    err_ = std::make_unique<Redirect>(std::cerr, err);
  }
}

ConsoleTextOutput::~ConsoleTextOutput() = default;

}  // namespace vmrsmgr::platform
