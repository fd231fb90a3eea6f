#include "runner/process_peek.h"

#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <cstdint>
#include <vector>

namespace {

using NtQueryInformationProcessFn = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

// Information classes of NtQueryInformationProcess.
constexpr ULONG kBasicInformation = 0;
constexpr ULONG kWow64Information = 26;
constexpr ULONG kCommandLineInformation = 60;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

NtQueryInformationProcessFn QueryFunction() {
  static const auto function = reinterpret_cast<NtQueryInformationProcessFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  return function;
}

// The start of the process parameters' layout, for either pointer size;
// natural alignment gives Windows' own offsets, checked below.
template <typename Ptr>
struct CountedText {
  USHORT length;  // bytes
  USHORT maximumLength;
  Ptr buffer;
};
template <typename Ptr>
struct Parameters {
  ULONG maximumLength, length, flags, debugFlags;
  Ptr consoleHandle;
  ULONG consoleFlags;
  Ptr standardInput, standardOutput, standardError;
  CountedText<Ptr> currentDirectory;
  Ptr currentDirectoryHandle;
  CountedText<Ptr> dllPath;
  CountedText<Ptr> imagePathName;
  CountedText<Ptr> commandLine;
};
template <typename Ptr>
struct EnvironmentBlock {
  BYTE flags[4];
  Ptr mutant, imageBaseAddress, loaderData, processParameters;
};
static_assert(offsetof(Parameters<std::uint64_t>, currentDirectory) == 0x38, "64-bit layout");
static_assert(offsetof(Parameters<std::uint64_t>, commandLine) == 0x70, "64-bit layout");
static_assert(offsetof(Parameters<std::uint32_t>, currentDirectory) == 0x24, "32-bit layout");
static_assert(offsetof(Parameters<std::uint32_t>, commandLine) == 0x40, "32-bit layout");
static_assert(offsetof(EnvironmentBlock<std::uint64_t>, processParameters) == 0x20, "64-bit layout");
static_assert(offsetof(EnvironmentBlock<std::uint32_t>, processParameters) == 0x10, "32-bit layout");

template <typename T>
bool ReadAt(HANDLE process, std::uint64_t address, T& value) {
  if (address == 0 || address > UINTPTR_MAX) return false;
  SIZE_T read = 0;
  return ::ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(address)), &value,
                             sizeof value, &read) &&
         read == sizeof value;
}

template <typename Ptr>
bool ReadText(HANDLE process, const CountedText<Ptr>& text, std::wstring& out) {
  out.assign(text.length / sizeof(wchar_t), L'\0');
  if (out.empty()) return true;
  SIZE_T read = 0;
  return ::ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(text.buffer)),
                             out.data(), out.size() * sizeof(wchar_t), &read) &&
         read == out.size() * sizeof(wchar_t);
}

// The command line and directory from the process parameters of the block
// at `block`, laid out with pointers of type Ptr.
template <typename Ptr>
void ReadParameters(HANDLE process, std::uint64_t block, PeekedProcess& out) {
  EnvironmentBlock<Ptr> environment{};
  Parameters<Ptr> parameters{};
  if (!ReadAt(process, block, environment) || !ReadAt(process, environment.processParameters, parameters)) return;
  if (!out.commandLineKnown) out.commandLineKnown = ReadText(process, parameters.commandLine, out.commandLine);
  out.directoryKnown = ReadText(process, parameters.currentDirectory, out.directory);
}

bool IsWow64(HANDLE process) {
  BOOL wow64 = FALSE;
  return ::IsWow64Process(process, &wow64) && wow64;
}

}  // namespace

PeekedProcess PeekProcess(HANDLE process) {
  PeekedProcess out;
  wchar_t image[32768];
  DWORD size = sizeof image / sizeof image[0];
  if (::QueryFullProcessImageNameW(process, 0, image, &size)) out.image.assign(image, size);

  const NtQueryInformationProcessFn query = QueryFunction();
  if (!query) return out;
  std::vector<std::uint8_t> buffer(4096);
  ULONG needed = 0;
  LONG status = query(process, kCommandLineInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
  if (status == kInfoLengthMismatch && needed > buffer.size() && needed < (1u << 20)) {
    buffer.resize(needed);
    status = query(process, kCommandLineInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
  }
  if (status >= 0) {
    UNICODE_STRING text{};
    std::memcpy(&text, buffer.data(), sizeof text);
    const auto* begin = reinterpret_cast<const std::uint8_t*>(text.Buffer);
    // The text lies in the buffer, right after the counted string.
    if (begin >= buffer.data() && begin + text.Length <= buffer.data() + buffer.size()) {
      out.commandLine.assign(reinterpret_cast<const wchar_t*>(begin), text.Length / sizeof(wchar_t));
      out.commandLineKnown = true;
    }
  }

  const bool selfWow64 = IsWow64(::GetCurrentProcess());
  const bool targetWow64 = IsWow64(process);
  if (sizeof(void*) == 8 && targetWow64) {
    // A 32-bit process seen from a 64-bit launcher: its own 32-bit block.
    ULONG_PTR block = 0;
    if (query(process, kWow64Information, &block, sizeof block, nullptr) >= 0) {
      ReadParameters<std::uint32_t>(process, block, out);
    }
  } else if (selfWow64 == targetWow64) {
    PROCESS_BASIC_INFORMATION basic{};
    if (query(process, kBasicInformation, &basic, sizeof basic, nullptr) >= 0) {
      ReadParameters<std::uintptr_t>(process, reinterpret_cast<std::uintptr_t>(basic.PebBaseAddress), out);
    }
  }
  return out;
}
