// The journal's file calls on Windows. The file is opened for appending only,
// so every WriteFile lands at the end whoever else writes; it is shared for
// reading, writing and deleting so Notepad can open it and the rotation (ours
// or another program's) can rename it while it is open.
#include <windows.h>

#include "platform/files.h"
#include "platform/wide.h"
#include "platform/window_thread.h"
#include "report/journal.h"

namespace {

class WindowsJournalFiles : public JournalFiles {
 public:
  ~WindowsJournalFiles() override { Close(); }

  // A missing folder is made first.
  std::uint32_t OpenAppend(const std::u16string& path) override {
    NoteFileCall();
    Close();
    const std::wstring wide = WidePath(path);
    const auto open = [&] {
      file_ = ::CreateFileW(wide.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      return file_ == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    };
    const DWORD error = open();
    if (error != ERROR_PATH_NOT_FOUND) return error;
    if (const DWORD folder = CreateFoldersOf(wide)) return folder;
    return open();
  }

  std::uint32_t Append(std::string_view bytes) override {
    NoteFileCall();
    return file_ == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : WriteAll(file_, bytes);
  }

  std::int64_t Size() override {
    LARGE_INTEGER size;
    if (file_ == INVALID_HANDLE_VALUE || !::GetFileSizeEx(file_, &size)) return -1;
    return size.QuadPart;
  }

  void Close() override {
    if (file_ != INVALID_HANDLE_VALUE) ::CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }

  std::uint32_t Rename(const std::u16string& from, const std::u16string& to) override {
    NoteFileCall();
    return ::MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_REPLACE_EXISTING) ? 0
                                                                                                 : ::GetLastError();
  }

  bool Exists(const std::u16string& path) override {
    NoteFileCall();
    if (::GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    const DWORD error = ::GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
  }

  std::string ErrorText(std::uint32_t error) override { return SystemErrorText(error); }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<JournalFiles> MakeWindowsJournalFiles() { return std::make_unique<WindowsJournalFiles>(); }

LocalTime LocalTimeNow() {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}
