#pragma once
// A small stand-in for an application framework: one application object per
// process, a start routine and an exit step. There is no message loop of the
// application's own; a modal dialog run by the start routine has the only one.
#include <windows.h>

class WinApp {
 public:
  WinApp() = default;
  virtual ~WinApp() = default;
  WinApp(const WinApp&) = delete;
  WinApp& operator=(const WinApp&) = delete;

  // Runs the start routine, then the exit step; returns the exit step's code.
  int Run(HINSTANCE instance, int showCommand);

  HINSTANCE instance() const { return instance_; }
  // The main window while the dialog runs, else null.
  HWND mainWindow() const { return mainWindow_; }
  void SetMainWindow(HWND hwnd) { mainWindow_ = hwnd; }

 protected:
  // The start routine. Its result is not used: the exit step follows always.
  virtual bool InitInstance() = 0;
  // The exit step; its result is the process's exit code.
  virtual int ExitInstance() { return 0; }

 private:
  HINSTANCE instance_ = nullptr;
  HWND mainWindow_ = nullptr;
  int showCommand_ = SW_SHOWDEFAULT;
};
