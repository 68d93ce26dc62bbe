#include "service_host/output_pipe.h"

#include <windows.h>
#include <ntsecapi.h>

#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/grow_buffer.h"
#include "platform/last_error.h"

namespace vmrsmgr {
namespace {

using platform::unique_handle;

// Tries with a new name when the one drawn is taken: 128 random bits make
// that a rare accident, never a siege that stops every launch.
constexpr int kPipeNameAttempts = 8;

// The pipe's security descriptor and what it points to.
struct PipeSecurity {
  std::vector<unsigned char> user;  // TOKEN_USER, with the account's SID
  std::vector<unsigned char> owner_rights;
  std::vector<unsigned char> acl;
  SECURITY_DESCRIPTOR descriptor{};
};

// Owned by the service's own account, whose access list admits that account
// and nobody else, so that no other user can open the pipe before the
// command gets its end. Without an owner, one of Local System's is the
// Administrators group; the entry for OWNER RIGHTS, which grants nothing,
// takes from the owner the reading and changing of the list that owners
// otherwise keep whatever the list says.
std::unique_ptr<PipeSecurity> own_account_only() {
  auto security = std::make_unique<PipeSecurity>();
  unique_handle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    throw platform::failed_call("cannot read the service's account");
  }
  const platform::Fill fill = platform::grow_to_fit(
      security->user, sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE, 65536,
      [&token](unsigned char* data, std::size_t size) {
        DWORD needed = 0;
        if (::GetTokenInformation(token.get(), TokenUser, data, static_cast<DWORD>(size),
                                  &needed)) {
          return platform::Fill::fits(size);
        }
        const DWORD error = ::GetLastError();
        return error == ERROR_INSUFFICIENT_BUFFER ? platform::Fill::too_small(needed, error)
                                                  : platform::Fill::failed(error);
      });
  if (fill.outcome != platform::Fill::Outcome::kFits) {
    throw platform::windows_error(fill.error, "cannot read the service's account");
  }
  const PSID account = reinterpret_cast<TOKEN_USER*>(security->user.data())->User.Sid;
  SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
  security->owner_rights.resize(::GetSidLengthRequired(1));
  const PSID owner_rights = security->owner_rights.data();
  const DWORD ace = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
  security->acl.resize(sizeof(ACL) + 2 * ace + ::GetLengthSid(account) + ::GetSidLengthRequired(1));
  const PACL acl = reinterpret_cast<PACL>(security->acl.data());
  SECURITY_DESCRIPTOR* const descriptor = &security->descriptor;
  if (!::InitializeSid(owner_rights, &creator, 1))
    throw platform::failed_call("cannot name OWNER RIGHTS");
  *::GetSidSubAuthority(owner_rights, 0) = SECURITY_CREATOR_OWNER_RIGHTS_RID;
  if (!::InitializeAcl(acl, static_cast<DWORD>(security->acl.size()), ACL_REVISION) ||
      !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, account) ||
      !::AddAccessAllowedAce(acl, ACL_REVISION, 0, owner_rights) ||
      !::InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorOwner(descriptor, account, FALSE) ||
      !::SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE) ||
      !::SetSecurityDescriptorControl(descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    throw platform::failed_call("cannot make the output pipe's access list");
  }
  return security;
}

}  // namespace

std::wstring random_pipe_name() {
  unsigned char bits[16];
  if (!::RtlGenRandom(bits, sizeof(bits))) {
    throw std::runtime_error("cannot draw a name for the output pipe");
  }
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring name = L"\\\\.\\pipe\\vmrsmgr-" + std::to_wstring(::GetCurrentProcessId()) + L"-";
  for (const unsigned char b : bits) {
    name += kDigits[b >> 4];
    name += kDigits[b & 15];
  }
  return name;
}

// Only the write end is inherited: a descendant that outlives the command
// must not hold the read end.
OutputPipe make_output_pipe(const std::function<std::wstring()>& new_name,
                            std::uint32_t buffer_size) {
  const std::unique_ptr<PipeSecurity> owned = own_account_only();
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = &owned->descriptor;
  SECURITY_ATTRIBUTES inherited{};
  inherited.nLength = sizeof(inherited);
  inherited.bInheritHandle = TRUE;
  // A name somebody holds, or a pipe somebody opened before us, costs a
  // new name.
  const auto taken = [](DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY;
  };
  for (int attempt = 1;; ++attempt) {
    const bool last = attempt == kPipeNameAttempts;
    const std::wstring name = new_name();
    OutputPipe pipe;
    pipe.read.reset(::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        buffer_size, 0, &security));
    if (pipe.read.get() == INVALID_HANDLE_VALUE) {
      pipe.read.release();
      const DWORD error = ::GetLastError();
      if (!taken(error) || last) {
        throw platform::windows_error(error, "cannot create the output pipe");
      }
      continue;
    }
    pipe.write.reset(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherited, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (pipe.write.get() != INVALID_HANDLE_VALUE) return pipe;
    pipe.write.release();
    const DWORD error = ::GetLastError();
    if (!taken(error) || last) {
      throw platform::windows_error(error, "cannot hand the output pipe to the command");
    }
  }
}

}  // namespace vmrsmgr
