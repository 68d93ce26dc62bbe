#include "service_control/account.h"

#include "platform/text.h"

namespace vmrsmgr {

AccountName split_account(const std::string& account) {
  const std::string::size_type slash = account.find('\\');
  if (slash == std::string::npos) return {".", account};
  return {account.substr(0, slash), account.substr(slash + 1)};
}

LogonAnswer try_service_logon(SystemApi& api, const std::string& account,
                              const std::string& password) {
  const AccountName name = split_account(account);
  const std::wstring user = platform::to_wide(name.user);
  const std::wstring domain = platform::to_wide(name.domain);
  const std::wstring secret = platform::to_wide(password);
  HANDLE raw = nullptr;
  const bool accepted =
      api.logon_user(user.empty() ? nullptr : user.c_str(), domain.c_str(),
                     secret.empty() ? nullptr : secret.c_str(), LOGON32_LOGON_SERVICE,
                     LOGON32_PROVIDER_DEFAULT, &raw) != FALSE;
  const DWORD error = accepted ? ERROR_SUCCESS : last_error();
  const TokenHandle token(accepted ? raw : nullptr, {&api});
  return {accepted, error};
}

}  // namespace vmrsmgr
