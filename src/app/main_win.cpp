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
