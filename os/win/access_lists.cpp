// Access lists: a file of this user's alone while the save writes it, and
// the old file's list given to the new one that takes its place.
#include <windows.h>

#include <vector>

#include "os/win/system.h"

namespace {

// The user this process runs as, in `buffer`; null when the system can't say.
PSID current_user(std::vector<unsigned char>& buffer) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  buffer.resize(size);
  const bool known = size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
  CloseHandle(token);
  return known ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid : nullptr;
}

bool keeps_access_lists(HANDLE file) {
  DWORD flags = 0;
  return GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
         (flags & FILE_PERSISTENT_ACLS) != 0;
}

}  // namespace

bool make_private(private_security& security) {
  PSID user = current_user(security.user);
  if (user == nullptr) return false;
  const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user);
  security.acl.resize(acl_size);
  ACL* acl = reinterpret_cast<ACL*>(security.acl.data());
  // Protected: nothing the directory would hand down to new files is added.
  if (!InitializeAcl(acl, acl_size, ACL_REVISION) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user) ||
      !InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&security.descriptor, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(&security.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return false;
  }
  security.attributes = {sizeof security.attributes, &security.descriptor, FALSE};
  return true;
}

bool read_access_list(HANDLE file, std::vector<unsigned char>& descriptor) {
  descriptor.clear();
  // A volume that keeps none (FAT) has nothing to give, nor to lose.
  if (!keeps_access_lists(file)) return true;
  DWORD size = 0;
  GetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  descriptor.resize(size);
  return size > 0 &&
         GetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, descriptor.data(), size, &size);
}

bool copy_access_list(HANDLE from, HANDLE to) {
  if (from == to) return true;
  std::vector<unsigned char> descriptor;
  // The descriptor as the file holds it, whether its list is protected or
  // handed down by its directory.
  return read_access_list(from, descriptor) &&
         (descriptor.empty() || !keeps_access_lists(to) ||
          SetKernelObjectSecurity(to, DACL_SECURITY_INFORMATION, descriptor.data()));
}
