#pragma once
// File calls the launcher's reports share: the folders named on the command
// line (/l, /m, /d) are made when missing, and writes are whole or failures.
#include <windows.h>

#include <string>
#include <string_view>

// The longest path a wide file call takes, with its terminator.
inline constexpr DWORD kLongPathChars = 32768;

// Writes all of `bytes` to `file` at its position; 0 or the Windows error. A
// write that takes fewer bytes than asked and reports no error is a failure
// too (ERROR_WRITE_FAULT).
DWORD WriteAll(HANDLE file, std::string_view bytes);

// Makes `folder` and every missing folder above it. Returns 0 when the folder
// is there afterwards, else the Windows error of the first that could not be
// made (ERROR_DIRECTORY when a file has the name).
DWORD CreateFolders(const std::wstring& folder);

// `path` as a full path with long names, from the current folder; `path`
// itself when Windows cannot say.
std::wstring FullLongPath(const std::wstring& path);

// The full path of this process's own program file; empty when Windows
// cannot say.
std::wstring OwnProgramPath();

// The process's current folder, where relative paths start; empty when
// Windows cannot say.
std::wstring CurrentFolder();

// Makes the folders above the file at `path` (its own folder and those
// above it).
DWORD CreateFoldersOf(const std::wstring& path);
