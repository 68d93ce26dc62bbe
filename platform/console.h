#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <streambuf>
#include <string>

namespace vmrsmgr::platform {

// Collects narrow text (the program's code page) and hands it to a writer as
// wide text whenever it ends a line and at every flush, so that a character is
// never cut.
class WideTextBuffer : public std::streambuf {
 public:
  using Writer = std::function<void(const std::wstring&)>;
  explicit WideTextBuffer(Writer write) : write_(std::move(write)) {}
  ~WideTextBuffer() override;  // hands over what is left

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  Writer write_;
  std::string pending_;
};

// A console shows narrow text in its own code page, which is seldom the
// program's (the ANSI code page, UTF-8 where the manifest is honoured), and
// the C runtime may translate it once more. While an object of this class
// lives, std::cout and std::cerr reach a console as wide text, which every
// console shows as it is. Pipes and files keep the program's bytes.
class ConsoleTextOutput {
 public:
  ConsoleTextOutput();
  ~ConsoleTextOutput();
  ConsoleTextOutput(const ConsoleTextOutput&) = delete;
  ConsoleTextOutput& operator=(const ConsoleTextOutput&) = delete;

 private:
  struct Redirect;
  std::unique_ptr<Redirect> out_;
  std::unique_ptr<Redirect> err_;
};

}  // namespace vmrsmgr::platform
