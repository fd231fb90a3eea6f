// The metrics file is replaced whole: the exporter that reads it must never
// see a half-written file, and a power cut must not leave an empty one.
#include <windows.h>

#include "platform/files.h"
#include "platform/wide.h"
#include "platform/window_thread.h"
#include "report/metrics.h"

namespace {

HANDLE CreateTemporary(const std::wstring& path) {
  return ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::uint32_t ReplaceFileWhole(const std::u16string& path, const std::string& bytes) {
  NoteFileCall();
  const std::wstring target = WidePath(path);
  const std::wstring temporary = target + L".tmp";
  HANDLE file = CreateTemporary(temporary);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_PATH_NOT_FOUND) return error;
    if (const DWORD folder = CreateFoldersOf(target)) return folder;
    file = CreateTemporary(temporary);
    if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
  }
  // On the disk before the move: a power cut leaves the old file or the new.
  DWORD error = WriteAll(file, bytes);
  if (error == 0 && !::FlushFileBuffers(file)) error = ::GetLastError();
  ::CloseHandle(file);
  if (error == 0 && !::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = ::GetLastError();
  }
  if (error != 0) ::DeleteFileW(temporary.c_str());
  return error;
}
