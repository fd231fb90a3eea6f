#pragma once
// Shared by the dialog tests: list files, a message pump, control reading.
#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/launcher_app.h"
#include "platform/async_socket.h"
#include "text/encoding.h"
#include "ui/launcher_dialog.h"
#include "ui/resource_ids.h"

namespace uitest {

// Writes a launch list (bytes as given) and returns its path.
inline std::string WriteList(const std::string& name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary) << bytes;
  return name;
}

// Runs the thread's messages until `done` holds or `ms` pass.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 3000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    ::Sleep(5);
  }
  return true;
}

inline std::string Text(HWND hwnd) {
  char buffer[1024] = {};
  ::GetWindowTextA(hwnd, buffer, sizeof buffer);
  return buffer;
}

inline std::string ListCell(HWND list, int row, int column) {
  char buffer[1024] = {};
  LVITEMA item{};
  item.iSubItem = column;
  item.pszText = buffer;
  item.cchTextMax = sizeof buffer;
  ::SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return buffer;
}

inline int RowCount(HWND list) { return static_cast<int>(::SendMessageA(list, LVM_GETITEMCOUNT, 0, 0)); }

inline bool RowChecked(HWND list, int row) { return ListView_GetCheckState(list, row) != 0; }

// A dialog that records surplus messages instead of showing a box.
class TestDialog : public LauncherDialog {
 public:
  using LauncherDialog::LauncherDialog;
  std::vector<std::string> surplusMessages;

 protected:
  void ShowSurplusMessage(const std::string& text) override { surplusMessages.push_back(text); }
};

// Command-line arguments given as GBK, as the launcher takes them: UTF-16.
inline std::vector<std::u16string> Utf16Args(const std::vector<std::string>& args) {
  std::vector<std::u16string> wide;
  for (const std::string& arg : args) wide.push_back(GbkToUtf16(arg));
  return wide;
}

// The application object and a modeless dialog on it, for one test.
struct Harness {
  explicit Harness(const std::vector<std::string>& args) : app(Utf16Args(args)), dialog(app) {
    StartSocketLayer();
    created = dialog.Create();
  }
  HWND Item(int id) const { return dialog.Item(id); }
  void Command(int id, int code) {
    ::SendMessageA(dialog.hwnd(), WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(Item(id)));
  }
  void ChoosePlan(int plan) {
    ::SendMessageA(Item(IDC_PLAN_CHOOSER), CB_SETCURSEL, static_cast<WPARAM>(plan), 0);
    Command(IDC_PLAN_CHOOSER, CBN_SELENDOK);
  }
  LauncherApp app;
  TestDialog dialog;
  bool created = false;
};

}  // namespace uitest
