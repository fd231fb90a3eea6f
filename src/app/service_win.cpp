#include "app/service_win.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "app/launcher_app.h"
#include "app/service_setup.h"
#include "control/control_pipe_win.h"
#include "platform/files.h"
#include "platform/integrity.h"
#include "platform/scoped.h"
#include "platform/wide.h"
#include "text/encoding.h"
#include "text/format_text.h"
#include "text/texts.h"
#include "ui/resource_ids.h"

namespace {

// What the service manager waits for at a shutdown before it goes on
// (SERVICE_PRESHUTDOWN_INFO: 10 s by default since Windows 10 1703, 3 min
// before): the stop of a session's end and its servers' saves fit in it.
constexpr DWORD kPreshutdownMs = 30000;
// The service manager restarts a failed launcher after 5 s, three times,
// and counts the failures afresh after a day without one.
constexpr DWORD kRestartDelayMs = 5000;
constexpr DWORD kFailureResetSeconds = 86400;
// How long /uninstall waits for the stopped service to end: its end's
// budget (4.5 s) with room to spare.
constexpr DWORD kStopWaitMs = 30000;
// kControlRehearseShutdown is a control of the service's own (128 to 255
// are the services'): what the service does when the machine shuts down,
// asked for with "sc.exe control Morvastel-<port> 200" to rehearse it. The
// service manager sends it only for those who may control the service (its
// DACL: administrators and LocalSystem).
static_assert(kControlStop == SERVICE_CONTROL_STOP && kControlPreshutdown == SERVICE_CONTROL_PRESHUTDOWN &&
                  kControlRehearseShutdown >= 128 && kControlRehearseShutdown <= 255,
              "the service's controls by their numbers");

struct ServiceHandle {
  SC_HANDLE handle = nullptr;
  explicit ServiceHandle(SC_HANDLE h) : handle(h) {}
  ~ServiceHandle() {
    if (handle) ::CloseServiceHandle(handle);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  explicit operator bool() const { return handle != nullptr; }
};

std::wstring WideOf(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }
std::string GbkOf(const std::wstring& text) { return Utf16ToGbk(std::u16string(text.begin(), text.end())); }

// One line for whoever ran the program: on its standard error when there is
// one (a script's redirection, a console), else on the console of the
// program that started it, else in a message box (a double click).
void Say(const std::string& gbk) {
  const std::u16string text = GbkToUtf16(gbk) + u"\r\n";
  const auto toConsole = [&text](HANDLE out) {
    DWORD mode = 0, written = 0;
    if (!::GetConsoleMode(out, &mode)) return false;
    return ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE;
  };
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  if (err != nullptr && err != INVALID_HANDLE_VALUE) {
    if (toConsole(err)) return;
    const std::string utf8 = Utf16ToUtf8(text);
    DWORD written = 0;
    if (::WriteFile(err, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr)) return;
  }
  if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
    const ScopedKernelHandle console(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE,
                                                   nullptr, OPEN_EXISTING, 0, nullptr));
    if (console && toConsole(console.get())) return;
  }
  ::MessageBoxW(nullptr, WideOf(text).c_str(), L"Morvastel", MB_OK | MB_ICONINFORMATION);
}

int Fail(const std::string& gbk, int code = kServiceFailed) {
  Say(gbk);
  return code;
}

// The service's state as the service manager hears it, and the window the
// controls go to.
struct Service {
  std::vector<std::u16string> args;
  HINSTANCE instance = nullptr;
  std::wstring name;
  SERVICE_STATUS_HANDLE handle = nullptr;
  std::mutex lock;
  SERVICE_STATUS status{};
  HWND window = nullptr;  // under `lock`
  ServiceAction pending = ServiceAction::kNone;  // what came before the window, under `lock`
  int exitCode = 0;
};
Service& TheService() {
  static Service service;
  return service;
}

void SetState(DWORD state, DWORD waitHint = 0) {
  Service& s = TheService();
  std::lock_guard<std::mutex> hold(s.lock);
  s.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.status.dwCurrentState = state;
  s.status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN : 0;
  s.status.dwWin32ExitCode = NO_ERROR;
  s.status.dwWaitHint = waitHint;
  s.status.dwCheckPoint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? s.status.dwCheckPoint + 1 : 0;
  ::SetServiceStatus(s.handle, &s.status);
}

// The window hears an action as from the control pipe (quit: as Esc) or as
// from Windows (the session's end).
void Post(HWND window, ServiceAction action) {
  if (action == ServiceAction::kQuit) ::PostMessageW(window, WM_CONTROL_QUIT, 0, 0);
  if (action == ServiceAction::kEndSession) ::PostMessageW(window, WM_ENDSESSION, TRUE, 0);
}

// One that comes before the window is kept for it.
void Tell(ServiceAction action) {
  Service& s = TheService();
  std::lock_guard<std::mutex> hold(s.lock);
  if (s.window == nullptr) {
    s.pending = KeptAction(s.pending, action);
    return;
  }
  Post(s.window, action);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
  const ServiceAction action = ActionOfControl(control);
  if (action == ServiceAction::kNone) return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
  // Quit as Esc: the launcher ends, its programs run on, and the next start
  // takes them over by their records. The session's end: the plan stops,
  // spared servers save, within the end's own budget.
  SetState(SERVICE_STOP_PENDING, action == ServiceAction::kQuit ? kStopWaitMs : kPreshutdownMs);
  Tell(action);
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  Service& s = TheService();
  s.handle = ::RegisterServiceCtrlHandlerExW(s.name.c_str(), &Control, nullptr);
  if (s.handle == nullptr) return;
  SetState(SERVICE_START_PENDING, kStopWaitMs);
  {
    LauncherApp app(s.args);
    s.exitCode = app.Run(s.instance, SW_HIDE);
  }
  SetState(SERVICE_STOPPED);
}

}  // namespace

int InstallService(const std::vector<std::u16string>& args, const Settings& settings) {
  if (OwnIntegrity() < kHighIntegrity) return Fail(texts::kSvcNeedsAdmin, kServiceNotAdmin);
  const std::wstring list = FullLongPath(WidePath(settings.listPath));
  const DWORD attributes = ::GetFileAttributesW(list.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Fail(FormatText(texts::kSvcListMissing, GbkOf(list).c_str()));
  }
  if (!settings.operators.empty()) {
    DWORD error = 0;
    const std::wstring group(settings.operators.begin(), settings.operators.end());
    if (OperatorsSid(group, error).empty()) {
      return Fail(FormatText(texts::kSvcNoGroup, GbkOf(group).c_str(), static_cast<unsigned long>(error)));
    }
  }
  const std::wstring own = OwnProgramPath();
  const std::u16string self(own.begin(), own.end());
  const std::wstring line = WideOf(ServiceCommandLine(self, args, [](const std::u16string& path) {
    const std::wstring full = FullLongPath(WidePath(path));
    return std::u16string(full.begin(), full.end());
  }));
  const std::wstring name = WideOf(ServiceName(settings.port));
  const std::string nameGbk = GbkOf(name);
  const std::wstring display = Wide(FormatText(texts::kSvcDisplayName,
                                               settings.windowTitle.empty() ? "Morvastel" : settings.windowTitle.c_str(),
                                               static_cast<unsigned>(settings.port)));
  const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED) return Fail(texts::kSvcNeedsAdmin, kServiceNotAdmin);
    return Fail(FormatText(texts::kSvcFailed, nameGbk.c_str(), static_cast<unsigned long>(error),
                           SystemErrorText(error).c_str()));
  }
  // LocalSystem (no account given), started at boot once the system has
  // settled (delayed automatic start).
  const ServiceHandle service(::CreateServiceW(manager.handle, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                               line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_EXISTS || error == ERROR_DUPLICATE_SERVICE_NAME) {
      return Fail(FormatText(texts::kSvcExists, nameGbk.c_str(), static_cast<unsigned>(settings.port)));
    }
    return Fail(FormatText(texts::kSvcFailed, nameGbk.c_str(), static_cast<unsigned long>(error),
                           SystemErrorText(error).c_str()));
  }
  SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
  ::ChangeServiceConfig2W(service.handle, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed);
  SC_ACTION restart[3] = {{SC_ACTION_RESTART, kRestartDelayMs},
                          {SC_ACTION_RESTART, kRestartDelayMs},
                          {SC_ACTION_RESTART, kRestartDelayMs}};
  SERVICE_FAILURE_ACTIONSW failure{kFailureResetSeconds, nullptr, nullptr, 3, restart};
  ::ChangeServiceConfig2W(service.handle, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
  // A launcher that ends with an error of its own (not a crash) is
  // restarted too.
  SERVICE_FAILURE_ACTIONS_FLAG onErrors{TRUE};
  ::ChangeServiceConfig2W(service.handle, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrors);
  SERVICE_PRESHUTDOWN_INFO preshutdown{kPreshutdownMs};
  ::ChangeServiceConfig2W(service.handle, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown);
  Say(FormatText(texts::kSvcInstalled, nameGbk.c_str(), nameGbk.c_str()));
  return kServiceDone;
}

int UninstallService(const Settings& settings) {
  if (OwnIntegrity() < kHighIntegrity) return Fail(texts::kSvcNeedsAdmin, kServiceNotAdmin);
  const std::wstring name = WideOf(ServiceName(settings.port));
  const std::string nameGbk = GbkOf(name);
  const auto failed = [&nameGbk](DWORD error) {
    return Fail(FormatText(texts::kSvcRemoveFailed, nameGbk.c_str(), static_cast<unsigned long>(error),
                           SystemErrorText(error).c_str()),
                error == ERROR_ACCESS_DENIED ? kServiceNotAdmin : kServiceFailed);
  };
  const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return failed(::GetLastError());
  const ServiceHandle service(
      ::OpenServiceW(manager.handle, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return Fail(FormatText(texts::kSvcMissing, nameGbk.c_str()));
    return failed(error);
  }
  SERVICE_STATUS status{};
  if (!::ControlService(service.handle, SERVICE_CONTROL_STOP, &status) &&
      ::GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    return failed(::GetLastError());
  }
  for (const ULONGLONG until = ::GetTickCount64() + kStopWaitMs;
       ::QueryServiceStatus(service.handle, &status) && status.dwCurrentState != SERVICE_STOPPED &&
       ::GetTickCount64() < until;) {
    ::Sleep(100);
  }
  if (!::DeleteService(service.handle) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    return failed(::GetLastError());
  }
  Say(FormatText(texts::kSvcRemoved, nameGbk.c_str()));
  return kServiceDone;
}

int RunService(std::vector<std::u16string> args, HINSTANCE instance) {
  Service& s = TheService();
  Settings settings;
  ApplyCommandLine(args, settings);
  s.name = WideOf(ServiceName(settings.port));
  s.args = std::move(args);
  s.instance = instance;
  SERVICE_TABLE_ENTRYW table[] = {{s.name.data(), &ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) {
    if (::GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return Fail(texts::kSvcNotStarted);
    return kServiceFailed;
  }
  return s.exitCode;
}

bool RunningAsService() { return TheService().handle != nullptr; }

void ServiceReady(HWND window) {
  Service& s = TheService();
  if (s.handle == nullptr) return;
  ServiceAction pending = ServiceAction::kNone;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.window = window;
    pending = std::exchange(s.pending, ServiceAction::kNone);
  }
  // A stop asked while the launcher started is carried out now; until
  // then it stays "stop pending".
  if (pending == ServiceAction::kNone) {
    SetState(SERVICE_RUNNING);
  } else {
    Post(window, pending);
  }
}
