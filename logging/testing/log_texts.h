#pragma once

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vmrsmgr::testing {

using Texts = std::vector<std::string>;

// How many lines were lost, the time stamps of the first and the last, why.
inline const std::regex kLostLines(R"((\d+) log lines were lost from (\S+) to (\S+): (.*))");

// The texts of a log's lines after checking that each has its time stamp, one
// blank and a "\r\n" line end, with no other line break; their time stamps
// go to stamps when given.
inline Texts texts_of(const std::string& content, Texts* stamps = nullptr) {
  static const std::regex line(R"((\d{8}T\d{6}(?:\.\d{6})?) ([^\r\n]*)\r\n)");
  Texts texts;
  auto at = content.cbegin();
  std::smatch match;
  while (at != content.cend()) {
    if (!std::regex_search(at, content.cend(), match, line,
                           std::regex_constants::match_continuous)) {
      ADD_FAILURE() << "not a log line: " << std::string(at, content.cend()).substr(0, 80);
      break;
    }
    texts.push_back(match[2]);
    if (stamps) stamps->push_back(match[1]);
    at = match[0].second;
  }
  return texts;
}

}  // namespace vmrsmgr::testing
