#include "platform/dump_library.h"

#include <string>

WriteDumpFunction LoadWriteDump(std::uint32_t* error) {
  HMODULE library = ::LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!library && ::GetLastError() == ERROR_INVALID_PARAMETER) {
    // Windows 7 without the update that brought the flag: by its full path.
    wchar_t system[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      library = ::LoadLibraryExW((std::wstring(system, length) + L"\\dbghelp.dll").c_str(), nullptr,
                                 LOAD_WITH_ALTERED_SEARCH_PATH);
    }
  }
  const FARPROC found = library ? ::GetProcAddress(library, "MiniDumpWriteDump") : nullptr;
  if (!found) {
    *error = ::GetLastError() != 0 ? ::GetLastError() : ERROR_PROC_NOT_FOUND;
    return nullptr;
  }
  return reinterpret_cast<WriteDumpFunction>(reinterpret_cast<void*>(found));
}
