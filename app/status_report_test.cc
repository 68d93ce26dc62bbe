#include "app/status_report.h"

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "settings/keys.h"
#include "tests/capture.h"

namespace vmrsmgr {
namespace {

TEST(StatusReport, AnswersTheFrontEndOnlyWhenAsked) {
  const std::string tag = "---GUI_TAG_START_JSON---\n";
  const struct {
    int code;
    const char* json;
  } cases[] = {
      {0, R"({"service":"installed","status":"running"})"},
      {10, R"({"service":"installed","status":"stopped"})"},
      {1, R"({"service":"not installed or error during checking","status":"stopped"})"},
      {2, R"({"service":"not installed or error during checking","status":"stopped"})"},
      {3, R"({"service":"not installed or error during checking","status":"stopped"})"},
  };
  for (const auto& c : cases) {
    boost::property_tree::ptree gui;
    gui.put(keys::kGui, 1);
    const CapturedOutput out;
    print_status_report(c.code, gui);
    EXPECT_EQ(out.out(), tag + c.json + "\n" + tag) << c.code;

    boost::property_tree::ptree plain;  // "gui" 0 or missing: no answer
    print_status_report(c.code, plain);
    plain.put(keys::kGui, 0);
    print_status_report(c.code, plain);
    EXPECT_EQ(out.out(), tag + c.json + "\n" + tag);
    EXPECT_EQ(out.err(), "");
  }
}

}  // namespace
}  // namespace vmrsmgr
