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
      // A user principal name carries its domain.
      {"svc@corp.example", "pw", L"svc@corp.example", std::nullopt, L"pw"},
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

TEST(ServiceAccount, TellsTheKindByName) {
  using Kind = AccountKind;
  const struct {
    const char* account;
    const char* service;
    Kind kind;
    const char* start_name;
    const char* lookup_name;
  } cases[] = {
      {"", "dariri", Kind::local_system, "", ""},
      {"NT AUTHORITY\\LocalService", "dariri", Kind::built_in, "NT AUTHORITY\\LocalService", ""},
      {"NT Authority\\Local Service", "dariri", Kind::built_in, "NT AUTHORITY\\LocalService", ""},
      {"networkservice", "dariri", Kind::built_in, "NT AUTHORITY\\NetworkService", ""},
      {"NT AUTHORITY\\NETWORK SERVICE", "dariri", Kind::built_in, "NT AUTHORITY\\NetworkService",
       ""},
      // Another domain's account of that name is an account like any.
      {"CORP\\LocalService", "dariri", Kind::with_password, "CORP\\LocalService",
       "CORP\\LocalService"},
      {"NT SERVICE\\Reduze-prod", "reduze-PROD", Kind::virtual_account, "NT SERVICE\\reduze-PROD",
       ""},
      {"NT SERVICE\\zavadedad", "", Kind::virtual_account, "NT SERVICE\\zavadedad", ""},
      {"CORP\\svc$", "dariri", Kind::managed, "CORP\\svc$", "CORP\\svc$"},
      {"svc", "dariri", Kind::with_password, ".\\svc", "svc"},
      {".\\svc", "dariri", Kind::with_password, ".\\svc", "svc"},
      {"CORP\\team\\svc", "dariri", Kind::with_password, "CORP\\team\\svc", "CORP\\team\\svc"},
      {"svc@corp.example", "dariri", Kind::with_password, "svc@corp.example", "svc@corp.example"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.account);
    const ServiceAccount account = service_account(c.account, "", c.service);
    EXPECT_EQ(account.kind, c.kind);
    EXPECT_EQ(account.start_name, c.start_name);
    EXPECT_EQ(account.lookup_name, c.lookup_name);
    EXPECT_EQ(account.refusal, "");
    // A password is refused exactly where Windows takes none.
    EXPECT_EQ(service_account(c.account, "pw", c.service).refusal.empty(),
              takes_password(c.kind) || c.kind == Kind::local_system);
  }
}

}  // namespace
}  // namespace vmrsmgr
