#pragma once
// Integrity levels (mandatory labels): what keeps the same user's unelevated
// programs from reaching into an elevated launcher's objects. Levels are the
// label's RID: 0x1000 low, 0x2000 medium, 0x3000 high, 0x4000 system
// (learn.microsoft.com/windows/win32/secauthz/mandatory-integrity-control).
#include <windows.h>

#include <cstdint>

constexpr std::uint32_t kMediumIntegrity = 0x2000;  // SECURITY_MANDATORY_MEDIUM_RID
constexpr std::uint32_t kHighIntegrity = 0x3000;    // SECURITY_MANDATORY_HIGH_RID

// The integrity level of `process`'s token; 0 when it cannot be read.
std::uint32_t ProcessIntegrity(HANDLE process);
// This process's, read once.
std::uint32_t OwnIntegrity();
// The level an object's label gives it, through a handle with READ_CONTROL:
// an object without a label is medium, as Windows treats it; 0 when its
// security cannot be read.
std::uint32_t ObjectIntegrity(HANDLE object);
