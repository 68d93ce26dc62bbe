#include "service_host/service_status.h"

#include <stdexcept>
#include <vector>

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "service_control/start_failure.h"
#include "settings/keys.h"

namespace vmrsmgr {
namespace {

class ServiceStatusTest : public ::testing::Test {
 protected:
  void connect() {
    status_.connect([this](const SERVICE_STATUS& record) {
      reports_.push_back(record);
      return true;
    });
  }
  std::vector<DWORD> states() const {
    std::vector<DWORD> result;
    for (const SERVICE_STATUS& r : reports_) result.push_back(r.dwCurrentState);
    return result;
  }

  boost::property_tree::ptree settings_;
  ServiceStatus status_{settings_};
  std::vector<SERVICE_STATUS> reports_;
};

TEST_F(ServiceStatusTest, AStopRequestIsKeptFromTheStartOn) {
  connect();
  status_.set_mode(kModeRun);
  status_.report(SERVICE_START_PENDING);
  EXPECT_FALSE(status_.stop_requested());
  EXPECT_EQ(status_.on_control(SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
  EXPECT_TRUE(status_.stop_requested());
  EXPECT_EQ(::WaitForSingleObject(status_.stop_event(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(settings_.get<std::string>(keys::kMode), "-1");  // the mirror
  // Once stopping, the service never says it runs.
  EXPECT_TRUE(status_.report(SERVICE_RUNNING));
  status_.report(SERVICE_STOP_PENDING);
  status_.report(SERVICE_STOP_PENDING, 2500);  // progress of a long stop
  status_.on_control(SERVICE_CONTROL_STOP);    // already stopping
  status_.report_stopped(kStoppedCleanly);

  EXPECT_EQ(states(),
            (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_STOP_PENDING,
                                SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  for (std::size_t i = 0; i < reports_.size(); ++i) {
    EXPECT_EQ(reports_[i].dwCheckPoint, i);
    EXPECT_EQ(reports_[i].dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(reports_[i].dwControlsAccepted,
              static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN));
    EXPECT_EQ(reports_[i].dwWaitHint, i == 3 ? 2500u : 5000u);
    EXPECT_EQ(reports_[i].dwWin32ExitCode, 0u);
  }
}

TEST_F(ServiceStatusTest, TheSystemsShutdownStopsTheServiceLikeAStopRequest) {
  const struct {
    DWORD control;
    DWORD answer;
    bool stops;
  } cases[] = {
      {SERVICE_CONTROL_STOP, NO_ERROR, true},
      {SERVICE_CONTROL_PRESHUTDOWN, NO_ERROR, true},
      {SERVICE_CONTROL_SHUTDOWN, NO_ERROR, true},
      {SERVICE_CONTROL_INTERROGATE, NO_ERROR, false},
      {SERVICE_CONTROL_PAUSE, ERROR_CALL_NOT_IMPLEMENTED, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.control);
    boost::property_tree::ptree settings;
    ServiceStatus status(settings);
    std::vector<DWORD> states;
    status.connect([&states](const SERVICE_STATUS& record) {
      states.push_back(record.dwCurrentState);
      return true;
    });
    status.set_mode(kModeRun);
    status.report(SERVICE_START_PENDING);
    status.report(SERVICE_RUNNING);
    EXPECT_EQ(status.on_control(c.control), c.answer);
    EXPECT_EQ(status.stop_requested(), c.stops);
    EXPECT_EQ(settings.get<int>(keys::kMode), c.stops ? kModeNone : kModeRun);
    EXPECT_EQ(states.back(), static_cast<DWORD>(c.stops ? SERVICE_STOP_PENDING : SERVICE_RUNNING));
    EXPECT_EQ(states.size(), c.stops ? 3u : 2u);
  }
}

TEST_F(ServiceStatusTest, WithoutPreShutdownTheShutdownNoticeIsAsked) {
  status_.connect([this](const SERVICE_STATUS& record) {
    if ((record.dwControlsAccepted & SERVICE_ACCEPT_PRESHUTDOWN) != 0) return false;
    reports_.push_back(record);
    return true;
  });
  EXPECT_TRUE(status_.report(SERVICE_START_PENDING));
  EXPECT_TRUE(status_.report(SERVICE_RUNNING));
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_EQ(reports_[0].dwControlsAccepted,
            static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
  EXPECT_EQ(reports_[1].dwCheckPoint, 1u);
}

TEST_F(ServiceStatusTest, StoppedCarriesTheExitCodes) {
  EXPECT_FALSE(status_.report_stopped(kStoppedOnError));  // no handler registered yet
  EXPECT_TRUE(reports_.empty());
  connect();
  status_.report(SERVICE_START_PENDING);
  EXPECT_TRUE(status_.report_stopped({1066, 3}));
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_EQ(reports_[1].dwWin32ExitCode, 1066u);
  EXPECT_EQ(reports_[1].dwServiceSpecificExitCode, 3u);
  EXPECT_EQ(reports_[1].dwCheckPoint, 1u);
}

TEST_F(ServiceStatusTest, StoppedIsHandedOverOnceEvenWhenRefused) {
  for (const bool accepted : {true, false}) {
    SCOPED_TRACE(accepted);
    boost::property_tree::ptree settings;
    ServiceStatus status(settings);
    std::vector<SERVICE_STATUS> sent;
    status.connect([&](const SERVICE_STATUS& record) {
      sent.push_back(record);
      return accepted;
    });
    // A refused report says so; any but the stopped one is asked again
    // without pre-shutdown.
    EXPECT_EQ(status.report(SERVICE_START_PENDING), accepted);
    const std::size_t before = sent.size();
    EXPECT_EQ(status.report_stopped(kStoppedOnError), accepted);
    EXPECT_EQ(status.report_stopped(kStoppedCleanly), false);
    EXPECT_FALSE(status.report(SERVICE_STOP_PENDING));
    ASSERT_EQ(sent.size(), before + 1);
    EXPECT_EQ(sent.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(sent.back().dwWin32ExitCode, kStoppedOnError.win32_exit_code);
  }
}

// The log's last lines are written between a stop pending report whose hint
// covers them and the one stopped report, which follows even when they fail.
TEST_F(ServiceStatusTest, TheLastWordsComeBetweenStopPendingAndStopped) {
  connect();
  std::size_t reported_before_last_words = 0;
  status_.before_stopped(
      [&] {
        reported_before_last_words = reports_.size();
        throw std::runtime_error("the disk is gone");
      },
      4000);
  status_.report(SERVICE_START_PENDING);
  status_.report(SERVICE_RUNNING);
  EXPECT_TRUE(status_.report_stopped({1066, 3}));
  EXPECT_EQ(states(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING,
                                          SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  EXPECT_EQ(reported_before_last_words, 3u);
  ASSERT_EQ(reports_.size(), 4u);
  EXPECT_EQ(reports_[2].dwWaitHint, 4000u);
  EXPECT_EQ(reports_[3].dwWin32ExitCode, 1066u);
  EXPECT_EQ(reports_[3].dwCheckPoint, 3u);
}

TEST(ExitAfterComponent, OnlyAFailureOfTheComponentItselfIsReported) {
  struct Case {
    bool stop_requested;
    std::uint32_t component_exit;
    ServiceExit expected;
  };
  const Case cases[] = {
      {false, 0, {0, kEndedByItself}},  // told from a stop by the second code
      {false, 3, {1066, 3}},
      {false, 1, {1066, 1}},  // also a component that could not be launched
      {true, 1, {0, 0}},      // ended by the stop
      {true, 259, {0, 0}},    // still running when reading stopped
  };
  for (const Case& c : cases) {
    const ServiceExit exit = exit_after_component(c.stop_requested, c.component_exit);
    EXPECT_EQ(exit.win32_exit_code, c.expected.win32_exit_code) << c.component_exit;
    EXPECT_EQ(exit.service_specific_exit_code, c.expected.service_specific_exit_code);
  }
}

}  // namespace
}  // namespace vmrsmgr
