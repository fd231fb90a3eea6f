#include "platform/files.h"

#include "platform/window_thread.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The folder above `path`, or "" when `path` is a drive or share root or has
// no separator.
std::wstring Parent(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring::npos || cut == 0) return std::wstring();
  std::wstring parent = path.substr(0, cut);
  if (parent.size() == 2 && parent[1] == L':') return std::wstring();  // "C:"
  while (!parent.empty() && IsSeparator(parent.back())) parent.pop_back();
  return parent;
}

}  // namespace

DWORD CreateFolders(const std::wstring& path) {
  NoteFileCall();
  std::wstring folder = path;
  while (folder.size() > 1 && IsSeparator(folder.back())) folder.pop_back();
  if (folder.empty()) return 0;
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ERROR_DIRECTORY;
  }
  if (::CreateDirectoryW(folder.c_str(), nullptr)) return 0;
  DWORD error = ::GetLastError();
  if (error == ERROR_ALREADY_EXISTS) return 0;  // made meanwhile by another program
  if (error != ERROR_PATH_NOT_FOUND) return error;
  const std::wstring parent = Parent(folder);
  if (parent.empty()) return error;
  if (const DWORD above = CreateFolders(parent)) return above;
  if (::CreateDirectoryW(folder.c_str(), nullptr)) return 0;
  error = ::GetLastError();
  return error == ERROR_ALREADY_EXISTS ? 0 : error;
}

DWORD CreateFoldersOf(const std::wstring& path) {
  const std::wstring parent = Parent(path);
  return parent.empty() ? ERROR_PATH_NOT_FOUND : CreateFolders(parent);
}

DWORD WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr)) return ::GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    bytes.remove_prefix(written);
  }
  return 0;
}

std::wstring FullLongPath(const std::wstring& path) {
  if (path.empty()) return path;
  std::wstring full(kLongPathChars, L'\0');
  DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  std::wstring longer(kLongPathChars, L'\0');
  length = ::GetLongPathNameW(full.c_str(), longer.data(), static_cast<DWORD>(longer.size()));
  if (length == 0 || length >= longer.size()) return full;
  longer.resize(length);
  return longer;
}

std::wstring OwnProgramPath() {
  std::wstring self(kLongPathChars, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, self.data(), kLongPathChars);
  self.resize(length < kLongPathChars ? length : 0);
  return self;
}

std::wstring CurrentFolder() {
  std::wstring folder(kLongPathChars, L'\0');
  const DWORD length = ::GetCurrentDirectoryW(kLongPathChars, folder.data());
  folder.resize(length < kLongPathChars ? length : 0);
  return folder;
}
