#include "service_control/event_source.h"

#include <iostream>

#include "platform/last_error.h"
#include "platform/text.h"

namespace vmrsmgr {
namespace {

// Error, warning and information: the levels the service writes.
constexpr DWORD kTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

template <typename Value>
LSTATUS set_value(SystemApi& api, HKEY key, const wchar_t* name, DWORD type, const Value* data,
                  std::size_t size) {
  return api.reg_set_value(key, name, type, reinterpret_cast<const BYTE*>(data),
                           static_cast<DWORD>(size));
}

DWORD reported(DWORD error, const char* message) {
  if (error != ERROR_SUCCESS) platform::report_failure(std::cout, message, error);
  return error;
}

}  // namespace

std::wstring event_source_key(const std::string& service_name) {
  return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" +
         platform::to_wide(service_name);
}

DWORD register_event_source(const std::string& service_name, const std::wstring& program,
                            SystemApi& api) {
  constexpr const char* kFailed = "Event source has not been registered";

  HKEY raw = nullptr;
  const LSTATUS created = api.reg_create_key(
      HKEY_LOCAL_MACHINE, event_source_key(service_name).c_str(), KEY_SET_VALUE, &raw);
  if (created != ERROR_SUCCESS) return reported(static_cast<DWORD>(created), kFailed);
  const RegistryKey key(raw, {&api});

  // The event log reads the message file's path as an expandable string.
  LSTATUS written = set_value(api, key.get(), L"EventMessageFile", REG_EXPAND_SZ, program.c_str(),
                              (program.size() + 1) * sizeof(wchar_t));
  if (written == ERROR_SUCCESS) {
    written = set_value(api, key.get(), L"TypesSupported", REG_DWORD, &kTypesSupported,
                        sizeof(kTypesSupported));
  }
  return reported(static_cast<DWORD>(written), kFailed);
}

DWORD remove_event_source(const std::string& service_name, SystemApi& api) {
  const LSTATUS removed =
      api.reg_delete_key(HKEY_LOCAL_MACHINE, event_source_key(service_name).c_str());
  if (removed == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  return reported(static_cast<DWORD>(removed), "Event source has not been removed");
}

}  // namespace vmrsmgr
