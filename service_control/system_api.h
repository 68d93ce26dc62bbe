#pragma once

// The Windows calls of service control and of the account check, behind one
// interface: the program uses the real one, tests a fake that produces the
// answers Wine never gives (refused logons, failed managers, stuck services).

#include <windows.h>
#include <ntsecapi.h>

#include <cstdint>
#include <memory>
#include <type_traits>

namespace vmrsmgr {

class SystemApi {
 public:
  virtual ~SystemApi() = default;

  // Service control manager.
  virtual SC_HANDLE open_sc_manager(DWORD access) = 0;
  virtual SC_HANDLE create_service(SC_HANDLE manager, const wchar_t* name,
                                   const wchar_t* display_name, DWORD access, DWORD service_type,
                                   DWORD start_type, DWORD error_control,
                                   const wchar_t* command_line, const wchar_t* start_name,
                                   const wchar_t* password) = 0;
  virtual BOOL set_service_description(SC_HANDLE service, wchar_t* description) = 0;
  virtual SC_HANDLE open_service(SC_HANDLE manager, const wchar_t* name, DWORD access) = 0;
  virtual BOOL start_service(SC_HANDLE service) = 0;
  virtual BOOL control_service(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) = 0;
  virtual BOOL query_service_status(SC_HANDLE service, SERVICE_STATUS* status) = 0;
  virtual BOOL query_service_config(SC_HANDLE service, QUERY_SERVICE_CONFIGW* config, DWORD size,
                                    DWORD* needed) = 0;
  virtual BOOL delete_service(SC_HANDLE service) = 0;
  virtual BOOL set_service_object_security(SC_HANDLE service, SECURITY_INFORMATION what,
                                           PSECURITY_DESCRIPTOR descriptor) = 0;
  virtual BOOL close_service_handle(SC_HANDLE handle) = 0;

  // Security.
  virtual BOOL convert_security_descriptor(const wchar_t* sddl, DWORD revision,
                                           PSECURITY_DESCRIPTOR* descriptor) = 0;
  virtual HLOCAL local_free(HLOCAL memory) = 0;
  virtual BOOL logon_user(const wchar_t* user, const wchar_t* domain, const wchar_t* password,
                          DWORD logon_type, DWORD provider, HANDLE* token) = 0;
  virtual BOOL close_handle(HANDLE handle) = 0;
  virtual NTSTATUS lsa_open_policy(LSA_OBJECT_ATTRIBUTES* attributes, ACCESS_MASK access,
                                   LSA_HANDLE* policy) = 0;
  virtual NTSTATUS lsa_lookup_names2(LSA_HANDLE policy, ULONG flags, ULONG count,
                                     LSA_UNICODE_STRING* names,
                                     LSA_REFERENCED_DOMAIN_LIST** domains,
                                     LSA_TRANSLATED_SID2** sids) = 0;
  virtual NTSTATUS lsa_add_account_rights(LSA_HANDLE policy, PSID sid, LSA_UNICODE_STRING* rights,
                                          ULONG count) = 0;
  virtual NTSTATUS lsa_close(LSA_HANDLE policy) = 0;
  virtual NTSTATUS lsa_free_memory(void* memory) = 0;

  // Accounts without a password.
  // NetIsServiceAccount, loaded when first asked: kStatusProcedureNotFound where Windows has none.
  virtual NTSTATUS is_service_account(wchar_t* account, BOOL* is_service) = 0;
  // Registry: the event source of a service. Each answers its error code.
  virtual LSTATUS reg_create_key(HKEY root, const wchar_t* path, REGSAM access, HKEY* key) = 0;
  virtual LSTATUS reg_set_value(HKEY key, const wchar_t* name, DWORD type, const BYTE* data,
                                DWORD size) = 0;
  virtual LSTATUS reg_delete_key(HKEY root, const wchar_t* path) = 0;
  virtual LSTATUS reg_close_key(HKEY key) = 0;

  // Process and time.
  virtual DWORD module_file_name(wchar_t* buffer, DWORD size) = 0;
  virtual void sleep(DWORD milliseconds) = 0;
  virtual std::uint64_t tick_count() = 0;
};

inline constexpr NTSTATUS kStatusProcedureNotFound = static_cast<NTSTATUS>(0xC000007A);

// The one that talks to Windows.
SystemApi& real_system_api();

// Owners of what the interface hands out; they release it through the same
// interface, so a fake sees every close.
template <typename Handle, auto Release>
struct ApiRelease {
  using pointer = Handle;
  SystemApi* api = nullptr;
  void operator()(Handle handle) const noexcept { (api->*Release)(handle); }
};

template <typename Handle, auto Release>
using api_owner = std::unique_ptr<std::remove_pointer_t<Handle>, ApiRelease<Handle, Release>>;

using ServiceHandle = api_owner<SC_HANDLE, &SystemApi::close_service_handle>;
using TokenHandle = api_owner<HANDLE, &SystemApi::close_handle>;
using PolicyHandle = api_owner<LSA_HANDLE, &SystemApi::lsa_close>;
using LocalMemory = api_owner<HLOCAL, &SystemApi::local_free>;
using RegistryKey = api_owner<HKEY, &SystemApi::reg_close_key>;
template <typename T>
using LsaMemory = api_owner<T*, &SystemApi::lsa_free_memory>;

}  // namespace vmrsmgr
