#pragma once

// A stand-in for the Windows calls: answers as scripted, records the
// arguments, keeps time without waiting, and tracks every handle and
// allocation it hands out so tests can see that all were released.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/windows_support.h"
#include "service_control/system_api.h"

namespace vmrsmgr::testing {

inline std::optional<std::wstring> text_or_none(const wchar_t* text) {
  if (text == nullptr) return std::nullopt;
  return std::wstring(text);
}

class FakeSystemApi : public SystemApi {
 public:
  // Script: calls named here fail with the error (Win32 calls) or answer the
  // status (LSA calls); all others succeed.
  std::map<std::string, DWORD> errors;
  std::map<std::string, NTSTATUS> statuses;
  SERVICE_STATUS control_answer{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0, 0, 0, 1, 3000};
  // Answers of QueryServiceStatus in turn; the last one repeats.
  std::deque<SERVICE_STATUS> states{{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0}};
  std::wstring module_path = L"C:\\Tools\\vmrsmgr.exe";
  // What QueryServiceConfigW reads; rights that OpenServiceW refuses.
  std::wstring registered_command = L"\"C:\\Tools\\vmrsmgr.exe\" -s devidori";
  DWORD denied_access = 0;
  BOOL is_service_answer = TRUE;  // of NetIsServiceAccount

  // Record.
  std::vector<std::string> calls;
  std::vector<DWORD> access;  // of OpenSCManagerW, OpenServiceW, CreateServiceW, LsaOpenPolicy
  struct Logon {
    std::optional<std::wstring> user, domain, password;
    DWORD type, provider;
  } logon{};
  struct Created {
    std::wstring name, display_name, command_line;
    DWORD service_type, start_type, error_control;
    std::optional<std::wstring> start_name, password;
  } created{};
  std::wstring description, sddl, looked_up, right, service_account_asked;
  DWORD sddl_revision = 0;
  SECURITY_INFORMATION security_information = 0;
  ULONG lookup_flags = 0;
  USHORT name_length = 0, name_max = 0, right_length = 0, right_max = 0;
  bool right_for_looked_up_sid = false;
  std::vector<DWORD> sleeps;
  std::uint64_t now = 0;
  // The registry below HKEY_LOCAL_MACHINE: each key's values by name.
  struct RegistryValue {
    DWORD type;
    std::vector<BYTE> data;
  };
  std::map<std::wstring, std::map<std::wstring, RegistryValue>> registry;

  ~FakeSystemApi() override {
    for (const auto& held : held_) ADD_FAILURE() << held.second << " never released";
  }

  bool called(const std::string& name) const {
    return std::find(calls.begin(), calls.end(), name) != calls.end();
  }
  std::size_t held() const { return held_.size(); }

  SC_HANDLE open_sc_manager(DWORD desired) override {
    access.push_back(desired);
    return fails("OpenSCManagerW") ? nullptr : hand_out<SC_HANDLE>("service handle");
  }
  SC_HANDLE create_service(SC_HANDLE, const wchar_t* name, const wchar_t* display_name,
                           DWORD desired, DWORD service_type, DWORD start_type, DWORD error_control,
                           const wchar_t* command_line, const wchar_t* start_name,
                           const wchar_t* password) override {
    access.push_back(desired);
    created = {name,
               display_name,
               command_line,
               service_type,
               start_type,
               error_control,
               text_or_none(start_name),
               text_or_none(password)};
    return fails("CreateServiceW") ? nullptr : hand_out<SC_HANDLE>("service handle");
  }
  BOOL set_service_description(SC_HANDLE, wchar_t* text) override {
    description = text;
    return succeeds("ChangeServiceConfig2W");
  }
  SC_HANDLE open_service(SC_HANDLE manager, const wchar_t*, DWORD desired) override {
    access.push_back(desired);
    if (manager == nullptr) errors.emplace("OpenServiceW", ERROR_INVALID_HANDLE);
    if ((desired & denied_access) != 0) {
      calls.push_back("OpenServiceW");
      ::SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    return fails("OpenServiceW") ? nullptr : hand_out<SC_HANDLE>("service handle");
  }
  BOOL start_service(SC_HANDLE) override { return succeeds("StartServiceW"); }
  // As on Windows, and unlike Wine, a service that is starting refuses the
  // stop whatever it accepts; the state is the next one a query would give.
  BOOL control_service(SC_HANDLE, DWORD control, SERVICE_STATUS* status) override {
    EXPECT_EQ(control, static_cast<DWORD>(SERVICE_CONTROL_STOP));
    if (states.front().dwCurrentState == SERVICE_START_PENDING && !errors.count("ControlService")) {
      calls.push_back("ControlService");
      *status = states.front();
      ::SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
      return FALSE;
    }
    *status = control_answer;  // filled on failure too
    return succeeds("ControlService");
  }
  BOOL query_service_status(SC_HANDLE, SERVICE_STATUS* status) override {
    if (fails("QueryServiceStatus")) return FALSE;
    *status = states.front();
    if (states.size() > 1) states.pop_front();
    return TRUE;
  }
  // The command line follows the record in the caller's buffer, as the
  // system lays it out; a buffer too small gets the size needed.
  BOOL query_service_config(SC_HANDLE, QUERY_SERVICE_CONFIGW* config, DWORD size,
                            DWORD* needed) override {
    if (fails("QueryServiceConfigW")) return FALSE;
    const std::size_t length = registered_command.size();
    *needed = static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGW) + (length + 1) * sizeof(wchar_t));
    if (config == nullptr || size < *needed) {
      ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    *config = QUERY_SERVICE_CONFIGW{};
    auto* text = reinterpret_cast<wchar_t*>(config + 1);
    std::copy_n(registered_command.begin(), length, text);
    text[length] = L'\0';
    config->lpBinaryPathName = text;
    return TRUE;
  }
  BOOL delete_service(SC_HANDLE) override { return succeeds("DeleteService"); }
  BOOL set_service_object_security(SC_HANDLE, SECURITY_INFORMATION what,
                                   PSECURITY_DESCRIPTOR descriptor) override {
    security_information = what;
    EXPECT_TRUE(held_.count(descriptor)) << "descriptor not from the conversion";
    return succeeds("SetServiceObjectSecurity");
  }
  BOOL close_service_handle(SC_HANDLE handle) override {
    release(handle, "service handle");
    return TRUE;
  }

  BOOL convert_security_descriptor(const wchar_t* text, DWORD revision,
                                   PSECURITY_DESCRIPTOR* descriptor) override {
    sddl = text;
    sddl_revision = revision;
    if (fails("ConvertStringSecurityDescriptorToSecurityDescriptorW")) return FALSE;
    *descriptor = hand_out<PSECURITY_DESCRIPTOR>("descriptor");
    return TRUE;
  }
  HLOCAL local_free(HLOCAL memory) override {
    release(memory, "descriptor");
    return nullptr;
  }
  BOOL logon_user(const wchar_t* user, const wchar_t* domain, const wchar_t* password, DWORD type,
                  DWORD provider, HANDLE* token) override {
    logon = {text_or_none(user), text_or_none(domain), text_or_none(password), type, provider};
    if (fails("LogonUserW")) return FALSE;
    *token = hand_out<HANDLE>("token");
    return TRUE;
  }
  BOOL close_handle(HANDLE handle) override {
    release(handle, "token");
    return TRUE;
  }
  NTSTATUS lsa_open_policy(LSA_OBJECT_ATTRIBUTES* attributes, ACCESS_MASK desired,
                           LSA_HANDLE* policy) override {
    EXPECT_EQ(attributes->Length, 0u);
    access.push_back(desired);
    const NTSTATUS status = answer("LsaOpenPolicy");
    if (status == 0) *policy = hand_out<LSA_HANDLE>("policy");
    return status;
  }
  NTSTATUS lsa_lookup_names2(LSA_HANDLE, ULONG flags, ULONG count, LSA_UNICODE_STRING* names,
                             LSA_REFERENCED_DOMAIN_LIST** domains,
                             LSA_TRANSLATED_SID2** sids) override {
    EXPECT_EQ(count, 1u);
    lookup_flags = flags;
    looked_up.assign(names->Buffer, names->Length / sizeof(wchar_t));
    name_length = names->Length;
    name_max = names->MaximumLength;
    // The system hands out both lists also when it maps only some names.
    *domains = hand_out<LSA_REFERENCED_DOMAIN_LIST*>("LSA memory");
    sid_array_.Sid = &sid_;
    *sids = &sid_array_;
    held_.emplace(&sid_array_, "LSA memory");
    return answer("LsaLookupNames2");
  }
  NTSTATUS lsa_add_account_rights(LSA_HANDLE, PSID sid, LSA_UNICODE_STRING* rights,
                                  ULONG count) override {
    EXPECT_EQ(count, 1u);
    right_for_looked_up_sid = sid == &sid_;
    right.assign(rights->Buffer, rights->Length / sizeof(wchar_t));
    right_length = rights->Length;
    right_max = rights->MaximumLength;
    return answer("LsaAddAccountRights");
  }
  NTSTATUS lsa_close(LSA_HANDLE policy) override {
    release(policy, "policy");
    return answer("LsaClose");
  }
  NTSTATUS lsa_free_memory(void* memory) override {
    release(memory, "LSA memory");
    return 0;
  }

  NTSTATUS is_service_account(wchar_t* account, BOOL* is_service) override {
    service_account_asked = account;
    *is_service = is_service_answer;
    return answer("NetIsServiceAccount");
  }
  LSTATUS reg_create_key(HKEY root, const wchar_t* path, REGSAM, HKEY* key) override {
    EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
    if (const LSTATUS error = registry_answer("RegCreateKeyExW")) return error;
    registry[path];
    *key = hand_out<HKEY>("registry key");
    key_paths_[*key] = path;
    return ERROR_SUCCESS;
  }
  LSTATUS reg_set_value(HKEY key, const wchar_t* name, DWORD type, const BYTE* data,
                        DWORD size) override {
    if (const LSTATUS error = registry_answer("RegSetValueExW")) return error;
    registry[key_paths_.at(key)][name] = {type, std::vector<BYTE>(data, data + size)};
    return ERROR_SUCCESS;
  }
  LSTATUS reg_delete_key(HKEY root, const wchar_t* path) override {
    EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
    if (const LSTATUS error = registry_answer("RegDeleteKeyW")) return error;
    return registry.erase(path) == 1 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  }
  LSTATUS reg_close_key(HKEY key) override {
    release(key, "registry key");
    key_paths_.erase(key);
    return ERROR_SUCCESS;
  }

  DWORD module_file_name(wchar_t* buffer, DWORD size) override {
    calls.push_back("GetModuleFileNameW");
    const std::size_t copied = std::min<std::size_t>(module_path.size(), size - 1);
    std::copy_n(module_path.begin(), copied, buffer);
    buffer[copied] = L'\0';
    if (copied == module_path.size()) return static_cast<DWORD>(copied);
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  void sleep(DWORD milliseconds) override {
    sleeps.push_back(milliseconds);
    now += milliseconds;
  }
  std::uint64_t tick_count() override { return now; }

 private:
  bool fails(const std::string& call) {
    calls.push_back(call);
    const auto error = errors.find(call);
    if (error == errors.end()) return false;
    ::SetLastError(error->second);
    return true;
  }
  BOOL succeeds(const std::string& call) { return fails(call) ? FALSE : TRUE; }
  // The registry answers with the error code and leaves the last error alone.
  LSTATUS registry_answer(const std::string& call) {
    calls.push_back(call);
    const auto error = errors.find(call);
    return error == errors.end() ? ERROR_SUCCESS : static_cast<LSTATUS>(error->second);
  }
  NTSTATUS answer(const std::string& call) {
    calls.push_back(call);
    const auto status = statuses.find(call);
    return status == statuses.end() ? 0 : status->second;
  }

  template <typename Handle>
  Handle hand_out(const char* kind) {
    const Handle handle = reinterpret_cast<Handle>(next_++);
    held_.emplace(reinterpret_cast<void*>(handle), kind);
    return handle;
  }
  void release(void* handle, const std::string& kind) {
    const auto held = held_.find(handle);
    if (held == held_.end() || held->second != kind) {
      ADD_FAILURE() << "released a " << kind << " that was not held";
      return;
    }
    held_.erase(held);
  }

  std::map<void*, std::string> held_;
  std::map<HKEY, std::wstring> key_paths_;
  std::uintptr_t next_ = 0x1000;
  SID sid_{};
  LSA_TRANSLATED_SID2 sid_array_{};
};

}  // namespace vmrsmgr::testing
