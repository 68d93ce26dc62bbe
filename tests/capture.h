#pragma once

#include <algorithm>
#include <iostream>
#include <sstream>
#include <string>

namespace vmrsmgr {

// Captures what the code under test writes on std::cout and std::cerr for the
// life of the object.
class CapturedOutput {
 public:
  CapturedOutput()
      : old_out_(std::cout.rdbuf(out_.rdbuf())), old_err_(std::cerr.rdbuf(err_.rdbuf())) {}
  ~CapturedOutput() {
    std::cout.rdbuf(old_out_);
    std::cerr.rdbuf(old_err_);
  }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  std::string out() const { return out_.str(); }
  std::string err() const { return err_.str(); }

 private:
  std::ostringstream out_;
  std::ostringstream err_;
  std::streambuf* old_out_;
  std::streambuf* old_err_;
};

}  // namespace vmrsmgr
