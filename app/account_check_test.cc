#include <string>

#include <gtest/gtest.h>

#include "app/account_check.h"
#include "service_control/account.h"
#include "service_control/testing/fake_system_api.h"
#include "tests/capture.h"

namespace vmrsmgr {
namespace {

TEST(CheckAccount, AnswersForEachLogonOutcome) {
  const std::string refused = std::string(kLogonRefused) + "\n";
  const struct {
    const char* name;
    const char* account;
    DWORD logon_error;
    const char* out;
    std::string err;
    int code;
    const char* password = "secret";
    bool looked_up = false;
  } cases[] = {
      {"local system", "", 0, "Used Local System username\n", "", 0},
      {"accepted", "CORP\\alice", 0, "Correct username and password supplied.\n", "", 0},
      {"wrong password", "CORP\\alice", ERROR_LOGON_FAILURE, "", refused, 1},
      // Unlike the installation, the check does not grant the right it lacks.
      {"right missing", "CORP\\alice", ERROR_LOGON_TYPE_NOT_GRANTED, "", refused, 1},
      // Accounts whose password Windows keeps: no logon, which could not succeed.
      {"built-in", "NT AUTHORITY\\LocalService", 0,
       "NT AUTHORITY\\LocalService is a built-in service account: it needs no password and is "
       "known to Windows.\n",
       "", 0, ""},
      {"virtual", "NT SERVICE\\dariri", 0,
       "NT SERVICE\\dariri is a virtual account: it needs no password and is known to "
       "Windows.\n",
       "", 0, ""},
      {"managed", "CORP\\svc$", 0,
       "CORP\\svc$ is a managed service account: it needs no password and is known to "
       "Windows.\n",
       "", 0, "", true},
      {"managed with a password", "CORP\\svc$", 0, "",
       "Error: CORP\\svc$ is a managed service account: Windows keeps its password and takes "
       "none, give --password \"\"\n" +
           refused,
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeSystemApi api;
    if (c.logon_error != 0) api.errors["LogonUserW"] = c.logon_error;
    const CapturedOutput captured;
    EXPECT_EQ(check_account({c.account, c.password}, api), c.code);
    EXPECT_EQ(captured.out(), c.out);
    EXPECT_EQ(captured.err(), c.err);
    const ServiceAccount kind = service_account(c.account, "", "");
    EXPECT_EQ(api.called("LogonUserW"), takes_password(kind.kind));
    EXPECT_EQ(api.called("LsaLookupNames2"), c.looked_up);
    EXPECT_EQ(api.held(), 0u);
  }
}

}  // namespace
}  // namespace vmrsmgr
