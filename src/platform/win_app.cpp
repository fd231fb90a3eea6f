#include "platform/win_app.h"

int WinApp::Run(HINSTANCE instance, int showCommand) {
  instance_ = instance;
  showCommand_ = showCommand;
  InitInstance();
  return ExitInstance();
}
