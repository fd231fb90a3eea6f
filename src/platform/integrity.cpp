#include "platform/integrity.h"

#include <aclapi.h>

#include <vector>

std::uint32_t ProcessIntegrity(HANDLE process) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(process, TOKEN_QUERY, &token)) return 0;
  DWORD size = 0;
  ::GetTokenInformation(token, TokenIntegrityLevel, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  std::uint32_t level = 0;
  if (size != 0 && ::GetTokenInformation(token, TokenIntegrityLevel, buffer.data(), size, &size)) {
    const PSID sid = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data())->Label.Sid;
    const UCHAR count = *::GetSidSubAuthorityCount(sid);
    if (count > 0) level = *::GetSidSubAuthority(sid, count - 1u);
  }
  ::CloseHandle(token);
  return level;
}

std::uint32_t OwnIntegrity() {
  static const std::uint32_t level = ProcessIntegrity(::GetCurrentProcess());
  return level;
}

std::uint32_t ObjectIntegrity(HANDLE object) {
  PACL label = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, &label,
                        &descriptor) != ERROR_SUCCESS) {
    return 0;
  }
  std::uint32_t level = kMediumIntegrity;
  for (WORD i = 0; label != nullptr && i < label->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (::GetAce(label, i, reinterpret_cast<void**>(&ace)) && ace->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE) {
      const PSID sid = &reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace)->SidStart;
      const UCHAR count = *::GetSidSubAuthorityCount(sid);
      if (count > 0) level = *::GetSidSubAuthority(sid, count - 1u);
    }
  }
  ::LocalFree(descriptor);
  return level;
}
