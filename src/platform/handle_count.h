#pragma once
// The number of handles a process holds, read from the system handle table
// (NtQuerySystemInformation). GetProcessHandleCount answers 0 under Wine; the
// table gives a true count there as on Windows. Used by the tests and the
// reliability run to show that handles do not pile up.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace handle_count_detail {

using NtQuerySystemInformationFn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr ULONG kSystemHandleInformation = 16;
constexpr ULONG kSystemExtendedHandleInformation = 64;

// Class 16 entry: the owner's id is only 16 bits wide.
struct HandleEntry {
  USHORT processId;
  USHORT creatorBackTraceIndex;
  UCHAR objectTypeIndex;
  UCHAR handleAttributes;
  USHORT handleValue;
  PVOID object;
  ULONG grantedAccess;
};
struct HandleTable {
  ULONG count;
  HandleEntry entries[1];
};

// Class 64 entry: full-width ids.
struct HandleEntryEx {
  PVOID object;
  ULONG_PTR processId;
  ULONG_PTR handleValue;
  ULONG grantedAccess;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG handleAttributes;
  ULONG reserved;
};
struct HandleTableEx {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntryEx entries[1];
};

// Fills `buffer` with the table of class `infoClass`; false when the class
// is not served.
inline bool QueryTable(NtQuerySystemInformationFn query, ULONG infoClass, std::vector<unsigned char>& buffer) {
  buffer.resize(1 << 16);
  for (int round = 0; round < 16; ++round) {
    ULONG needed = 0;
    const LONG status = query(infoClass, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status >= 0) return true;
    if (status != kStatusInfoLengthMismatch) return false;
    // The table grows between calls; ask for more than the last answer.
    buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
  }
  return false;
}

}  // namespace handle_count_detail

// Handles that `pid` holds, or -1 when the table cannot be read.
inline long CountHandles(DWORD pid) {
  using namespace handle_count_detail;
  const auto query = reinterpret_cast<NtQuerySystemInformationFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<unsigned char> buffer;
  if (QueryTable(query, kSystemExtendedHandleInformation, buffer)) {
    const auto* table = reinterpret_cast<const HandleTableEx*>(buffer.data());
    const std::size_t room = (buffer.size() - offsetof(HandleTableEx, entries)) / sizeof(HandleEntryEx);
    long count = 0;
    for (std::size_t i = 0; i < table->count && i < room; ++i) {
      if (table->entries[i].processId == pid) ++count;
    }
    return count;
  }
  if (!QueryTable(query, kSystemHandleInformation, buffer)) return -1;
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  const std::size_t room = (buffer.size() - offsetof(HandleTable, entries)) / sizeof(HandleEntry);
  long count = 0;
  for (std::size_t i = 0; i < table->count && i < room; ++i) {
    // Ids above 16 bits cannot be told apart in this class.
    if (table->entries[i].processId == static_cast<USHORT>(pid)) ++count;
  }
  return count;
}
