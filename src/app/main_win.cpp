// Process entry: set the multibyte code page first, then build the one
// application object and run it.
#include <windows.h>
#include <commctrl.h>
#include <mbctype.h>
#include <shellapi.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "app/launcher_app.h"
#include "platform/wide.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  _setmbcp(_MB_CP_ANSI);

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);

  // The arguments without argument 0, taken wide and turned into GBK like
  // every other text, so a Chinese list path or title given on any code page
  // arrives intact.
  std::vector<std::string> args;
  int count = 0;
  if (LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
    for (int i = 1; i < count; ++i) args.push_back(Narrow(argv[i]));
    ::LocalFree(argv);
  }

  LauncherApp app(std::move(args));
  return app.Run(instance, showCommand);
}
