// Process entry: set the multibyte code page first, then build the one
// application object and run it.
#include <windows.h>
#include <commctrl.h>
#include <mbctype.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "app/launcher_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  _setmbcp(_MB_CP_ANSI);

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);

  // The arguments as the runtime split the command line, without argument 0.
  std::vector<std::string> args;
  for (int i = 1; i < __argc; ++i) args.emplace_back(__argv[i]);

  LauncherApp app(std::move(args));
  return app.Run(instance, showCommand);
}
