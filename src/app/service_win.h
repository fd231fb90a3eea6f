#pragma once
// The launcher as a Windows service, "Morvastel-<port>": registering it
// (/install), removing it (/uninstall), and running as the service manager
// runs it (/service). As a service the launcher is the same program without
// a window on any desktop and without a tray icon: the same list, journal,
// metrics, dumps, control pipe and heartbeats.
#include <windows.h>

#include <string>
#include <vector>

#include "app/settings.h"

// Exit codes of /install and /uninstall.
inline constexpr int kServiceDone = 0;
inline constexpr int kServiceFailed = 1;    // the reason was said
inline constexpr int kServiceNotAdmin = 5;  // not run elevated

// Registers the service for `args` (the command line without the program;
// `settings` applied from it). Says what it did on the caller's console, or
// in a message box when it has none.
int InstallService(const std::vector<std::u16string>& args, const Settings& settings);
// Stops the service of `settings.port` as `sc stop` does, and removes it.
int UninstallService(const Settings& settings);
// Runs the launcher under the service manager until it is stopped.
int RunService(std::vector<std::u16string> args, HINSTANCE instance);

// Whether this process runs as the service.
bool RunningAsService();
// The launcher has read its list and opened its listener and pipe (or
// journalled why not): the service manager hears it runs. Nothing outside
// a service.
void ServiceReady(HWND window);
