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
#include "platform/console_ctrl.h"

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
  // The stop's helper, where morvastelctrlc.exe is missing.
  if (!args.empty() && args[0] == u"/ctrl-c") return RunCtrlCHelper(::GetCommandLineW());
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
