// Process entry: guard against the launcher's own crash first (crash_guard.h),
// set the multibyte code page, then build the one application object and
// run it.
#include <windows.h>
#include <commctrl.h>
#include <mbctype.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "app/crash_guard.h"
#include "app/launcher_app.h"
#include "app/service_win.h"
#include "app/settings.h"

namespace {

// The helper a stop starts ("/ctrl-c PID"): it attaches to the console of
// process `pid`, which it then shares with that program and whatever else
// runs on it, and sends Ctrl-C there, ignoring it itself. 0 when the
// keystroke went out; 2 when the program has no console (or is gone).
int SendCtrlC(const std::u16string& digits) {
  if (digits.empty() || digits.size() > 10 || digits.find_first_not_of(u"0123456789") != std::u16string::npos) {
    return 2;
  }
  const DWORD pid = static_cast<DWORD>(std::stoul(std::string(digits.begin(), digits.end())));
  ::FreeConsole();
  if (!::AttachConsole(pid)) return 2;
  ::SetConsoleCtrlHandler(nullptr, TRUE);
  const BOOL sent = ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  ::FreeConsole();
  return sent ? 0 : 1;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  InstallCrashGuard();
  _setmbcp(_MB_CP_ANSI);

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);

  // The arguments without argument 0, taken wide and split as the C runtime
  // splits them, so a Chinese list path or title given on any code page
  // arrives intact.
  std::vector<std::u16string> args = SplitCommandLine(reinterpret_cast<const char16_t*>(::GetCommandLineW()));
  args.erase(args.begin());
  if (args.size() == 2 && args[0] == u"/ctrl-c") return SendCtrlC(args[1]);
  // The programs the launcher starts take Ctrl-C as Windows normally does,
  // whatever the launcher itself was started with: the ignoring of Ctrl-C
  // is inherited by child processes (SetConsoleCtrlHandler), and a
  // launcher started from a process group that ignores it would hand that
  // on to every program, whose stop's Ctrl-C would then never arrive.
  ::SetConsoleCtrlHandler(nullptr, FALSE);

  // /install and /uninstall register or remove the service and end; with
  // /service the service manager runs the launcher.
  Settings asked;
  ApplyCommandLine(args, asked);
  switch (asked.mode) {
    case Settings::Mode::kInstall: return InstallService(args, asked);
    case Settings::Mode::kUninstall: return UninstallService(asked);
    case Settings::Mode::kService: return RunService(std::move(args), instance);
    case Settings::Mode::kDesktop: break;
  }
  LauncherApp app(std::move(args));
  return app.Run(instance, showCommand);
}
