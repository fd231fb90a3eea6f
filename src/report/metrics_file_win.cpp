// The metrics file is replaced whole: the exporter that reads it must never
// see a half-written file.
#include <windows.h>

#include "platform/wide.h"
#include "report/metrics.h"

std::uint32_t ReplaceFileWhole(const std::string& path, const std::string& bytes) {
  const std::wstring target = Wide(path);
  const std::wstring temporary = target + L".tmp";
  const HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
  DWORD written = 0;
  const BOOL wrote = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                     written == bytes.size();
  DWORD error = wrote ? 0 : ::GetLastError();
  ::CloseHandle(file);
  if (error == 0 && !::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = ::GetLastError();
  }
  if (error != 0) ::DeleteFileW(temporary.c_str());
  return error;
}
