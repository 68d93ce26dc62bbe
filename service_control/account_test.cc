#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "service_control/account.h"
#include "service_control/testing/fake_system_api.h"

namespace vmrsmgr {
namespace {

using testing::FakeSystemApi;

TEST(TryServiceLogon, SplitsTheAccountAtItsFirstBackslash) {
  const struct {
    const char* account;
    const char* password;
    std::optional<std::wstring> user, domain, secret;
  } cases[] = {
      {"CORP\\alice", "pw", L"alice", L"CORP", L"pw"},
      {"alice", "pw", L"alice", L".", L"pw"},
      {"CORP\\team\\alice", "pw", L"team\\alice", L"CORP", L"pw"},
      {"CORP\\", "pw", std::nullopt, L"CORP", L"pw"},
      {"\\alice", "pw", L"alice", L"", L"pw"},
      {"alice", "", L"alice", L".", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.account);
    FakeSystemApi api;
    EXPECT_TRUE(try_service_logon(api, c.account, c.password).accepted);
    EXPECT_EQ(api.logon.user, c.user);
    EXPECT_EQ(api.logon.domain, c.domain);
    EXPECT_EQ(api.logon.password, c.secret);
    EXPECT_EQ(api.logon.type, static_cast<DWORD>(LOGON32_LOGON_SERVICE));
    EXPECT_EQ(api.logon.provider, static_cast<DWORD>(LOGON32_PROVIDER_DEFAULT));
    EXPECT_EQ(api.held(), 0u) << "token left open";
  }
}

}  // namespace
}  // namespace vmrsmgr
