#include "service_control/system_api.h"

#include <sddl.h>

#include <string>

#include "platform/clock.h"
#include "platform/executable_path.h"
#include "platform/handles.h"

namespace vmrsmgr {
namespace {

// NetIsServiceAccount, loaded at run time: where netapi32 lacks it (Wine
// does), the program still starts.
using IsServiceAccount = NTSTATUS(WINAPI*)(wchar_t* server, wchar_t* account, BOOL* is_service);

IsServiceAccount load_is_service_account() {
  // From the system's folder, never one a program's search path finds first;
  // kept loaded for the process's life.
  static const platform::unique_hmodule library = [] {
    const std::wstring folder = platform::system_folder();
    if (folder.empty()) return platform::unique_hmodule();
    return platform::unique_hmodule(::LoadLibraryW((folder + L"\\netapi32.dll").c_str()));
  }();
  if (!library) return nullptr;
  return reinterpret_cast<IsServiceAccount>(
      reinterpret_cast<void*>(::GetProcAddress(library.get(), "NetIsServiceAccount")));
}

class RealSystemApi final : public SystemApi {
 public:
  SC_HANDLE open_sc_manager(DWORD access) override {
    return ::OpenSCManagerW(nullptr, nullptr, access);
  }
  SC_HANDLE create_service(SC_HANDLE manager, const wchar_t* name, const wchar_t* display_name,
                           DWORD access, DWORD service_type, DWORD start_type, DWORD error_control,
                           const wchar_t* command_line, const wchar_t* start_name,
                           const wchar_t* password) override {
    return ::CreateServiceW(manager, name, display_name, access, service_type, start_type,
                            error_control, command_line, nullptr, nullptr, nullptr, start_name,
                            password);
  }
  BOOL set_service_description(SC_HANDLE service, wchar_t* description) override {
    SERVICE_DESCRIPTIONW info{description};
    return ::ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &info);
  }
  SC_HANDLE open_service(SC_HANDLE manager, const wchar_t* name, DWORD access) override {
    return ::OpenServiceW(manager, name, access);
  }
  BOOL start_service(SC_HANDLE service) override { return ::StartServiceW(service, 0, nullptr); }
  BOOL control_service(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
    return ::ControlService(service, control, status);
  }
  BOOL query_service_status(SC_HANDLE service, SERVICE_STATUS* status) override {
    return ::QueryServiceStatus(service, status);
  }
  BOOL query_service_config(SC_HANDLE service, QUERY_SERVICE_CONFIGW* config, DWORD size,
                            DWORD* needed) override {
    return ::QueryServiceConfigW(service, config, size, needed);
  }
  BOOL delete_service(SC_HANDLE service) override { return ::DeleteService(service); }
  BOOL set_service_object_security(SC_HANDLE service, SECURITY_INFORMATION what,
                                   PSECURITY_DESCRIPTOR descriptor) override {
    return ::SetServiceObjectSecurity(service, what, descriptor);
  }
  BOOL close_service_handle(SC_HANDLE handle) override { return ::CloseServiceHandle(handle); }

  BOOL convert_security_descriptor(const wchar_t* sddl, DWORD revision,
                                   PSECURITY_DESCRIPTOR* descriptor) override {
    return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, revision, descriptor,
                                                                  nullptr);
  }
  HLOCAL local_free(HLOCAL memory) override { return ::LocalFree(memory); }
  BOOL logon_user(const wchar_t* user, const wchar_t* domain, const wchar_t* password,
                  DWORD logon_type, DWORD provider, HANDLE* token) override {
    return ::LogonUserW(user, domain, password, logon_type, provider, token);
  }
  BOOL close_handle(HANDLE handle) override { return ::CloseHandle(handle); }
  NTSTATUS lsa_open_policy(LSA_OBJECT_ATTRIBUTES* attributes, ACCESS_MASK access,
                           LSA_HANDLE* policy) override {
    return ::LsaOpenPolicy(nullptr, attributes, access, policy);
  }
  NTSTATUS lsa_lookup_names2(LSA_HANDLE policy, ULONG flags, ULONG count, LSA_UNICODE_STRING* names,
                             LSA_REFERENCED_DOMAIN_LIST** domains,
                             LSA_TRANSLATED_SID2** sids) override {
    return ::LsaLookupNames2(policy, flags, count, names, domains, sids);
  }
  NTSTATUS lsa_add_account_rights(LSA_HANDLE policy, PSID sid, LSA_UNICODE_STRING* rights,
                                  ULONG count) override {
    return ::LsaAddAccountRights(policy, sid, rights, count);
  }
  NTSTATUS lsa_close(LSA_HANDLE policy) override { return ::LsaClose(policy); }
  NTSTATUS lsa_free_memory(void* memory) override { return ::LsaFreeMemory(memory); }

  NTSTATUS is_service_account(wchar_t* account, BOOL* is_service) override {
    static const IsServiceAccount check = load_is_service_account();
    return check == nullptr ? kStatusProcedureNotFound : check(nullptr, account, is_service);
  }
  LSTATUS reg_create_key(HKEY root, const wchar_t* path, REGSAM access, HKEY* key) override {
    return ::RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key,
                             nullptr);
  }
  LSTATUS reg_set_value(HKEY key, const wchar_t* name, DWORD type, const BYTE* data,
                        DWORD size) override {
    return ::RegSetValueExW(key, name, 0, type, data, size);
  }
  LSTATUS reg_delete_key(HKEY root, const wchar_t* path) override {
    return ::RegDeleteKeyW(root, path);
  }
  LSTATUS reg_close_key(HKEY key) override { return ::RegCloseKey(key); }

  DWORD module_file_name(wchar_t* buffer, DWORD size) override {
    return ::GetModuleFileNameW(nullptr, buffer, size);
  }
  void sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }
  std::uint64_t tick_count() override { return platform::monotonic_ms(); }
};

}  // namespace

SystemApi& real_system_api() {
  static RealSystemApi api;
  return api;
}

}  // namespace vmrsmgr
