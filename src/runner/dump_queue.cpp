#include "runner/dump_queue.h"

std::uint32_t DumpFailureError(std::uint32_t lastError) {
  constexpr std::uint32_t kGenFailure = 31;              // ERROR_GEN_FAILURE
  constexpr std::uint32_t kFromWindowsError = 0x80070000;  // HRESULT_FROM_WIN32's upper half
  const std::uint32_t error =
      (lastError & 0xFFFF0000u) == kFromWindowsError ? lastError & 0xFFFFu : lastError;
  return error != 0 ? error : kGenFailure;
}
