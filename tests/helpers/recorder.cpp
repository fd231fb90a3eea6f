// A stand-in program for the runner's tests: it appends one line about itself
// to a log file, then behaves as its arguments say.
//
//   (no arguments)                   sleep forever
//   LOG sleep                        log, sleep forever
//   LOG exit MS [CODE]               log, exit with CODE (default 0) after MS
//   LOG beat PORT EVERY_MS FOR_MS    log, send its process id as a 4-byte
//                                    datagram to 127.0.0.1:PORT every EVERY_MS
//                                    for FOR_MS, then fall silent forever
//   LOG listen PORT [SAVE_MS]        log, wait for the exit notice on PORT,
//                                    log "notice", take SAVE_MS (default 0)
//                                    to save and exit 0
//   LOG save PORT EVERY_MS SAVE_MS   log, send heartbeats to 127.0.0.1:PORT
//                                    every EVERY_MS until the exit notice
//                                    (ports 33333), then fall silent, log
//                                    "saving", "saved" after SAVE_MS, exit 0
//   LOG spawn ARGS...                log, start this program again with the
//                                    command line " ARGS..." (a loader and
//                                    its server), wait for it, exit with its code
//   LOG run MS                       log, run MS, log "exit" and exit 0
//   LOG ctrlc                        log, sleep until Ctrl-C, then log "ctrl-c"
//                                    and exit 0
//   LOG deaf                         log, ignore Ctrl-C, sleep forever
//   LOG window                       log, show a window, and when it is asked
//                                    to close, log "close" and exit 0
//   LOG cd DIR                       log, make DIR its current directory, log
//                                    "cd" (with DIR as its directory) and
//                                    sleep forever
//   LOG await FILE                   read the number N in FILE, log, wait for the
//                                    event Local\morvastel-await-N to be set and
//                                    exit 0 (a signal that ends every copy at once)
//   LOG pipe NAME                    make the named pipe NAME before anyone else,
//                                    owned by this process's user as a launcher's
//                                    is, log "pipe", then for every client log
//                                    "client", log "read N" for each request it
//                                    sends and answer it as a launcher would, with
//                                    a status naming this process; forever
//
// The log line is: process id, TAB, milliseconds since boot, TAB, working
// directory, TAB, the raw command line. Arguments are split from the raw
// command line by blanks ("..." groups); a command line that starts with a
// blank carries no program name, as a launcher's stored command line does.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "morvastel_client.h"

namespace {

std::vector<std::string> Arguments(const char* line) {
  std::vector<std::string> args;
  const bool hasProgramName = *line != ' ' && *line != '\t';
  const char* p = line;
  while (*p) {
    while (*p == ' ' || *p == '\t') ++p;
    if (!*p) break;
    std::string arg;
    bool quoted = false;
    while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
      if (*p == '"') {
        quoted = !quoted;
      } else {
        arg += *p;
      }
      ++p;
    }
    args.push_back(arg);
  }
  if (hasProgramName && !args.empty()) args.erase(args.begin());
  return args;
}

void AppendLine(const std::string& path, const std::string& what) {
  char cwd[MAX_PATH * 4] = "";
  ::GetCurrentDirectoryA(sizeof cwd, cwd);
  char head[64];
  std::snprintf(head, sizeof head, "%lu\t%llu\t", static_cast<unsigned long>(::GetCurrentProcessId()),
                static_cast<unsigned long long>(::GetTickCount64()));
  const std::string line = std::string(head) + cwd + "\t" + what + "\n";
  // One append-only write per line, so lines of several processes never mix.
  // Many copies starting at once may find the file busy for a moment.
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    if (attempt > 0) ::Sleep(10);
    file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  ::CloseHandle(file);
}

[[noreturn]] void SleepForever() {
  for (;;) ::Sleep(INFINITE);
}

int Number(const std::vector<std::string>& args, std::size_t i, int fallback) {
  return i < args.size() ? std::atoi(args[i].c_str()) : fallback;
}

void Beat(int port, int everyMs, int forMs) {
  if (morvastel_startup() != 0) return;
  const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(forMs);
  do {
    morvastel_heartbeat(static_cast<unsigned short>(port), nullptr);
    ::Sleep(static_cast<DWORD>(everyMs));
  } while (::GetTickCount64() < end);
}

int Listen(const std::string& log, int port, int saveMs) {
  if (morvastel_startup() != 0) return 2;
  const SOCKET listener = morvastel_open_exit_listener(static_cast<unsigned short>(port));
  if (listener == INVALID_SOCKET) return 3;
  AppendLine(log, "listening");
  for (;;) {
    const int arrived = morvastel_exit_notice_arrived(listener, 60000);
    if (arrived < 0) return 4;
    if (arrived == 1) {
      AppendLine(log, "notice");
      ::Sleep(static_cast<DWORD>(saveMs));
      return 0;
    }
  }
}

// A cooperating server: alive until the notice, then a long silent save.
int Save(const std::string& log, int port, int everyMs, int saveMs) {
  if (morvastel_startup() != 0) return 2;
  const SOCKET listener = morvastel_open_exit_listener(MORVASTEL_EXIT_PORT_FIRST);
  if (listener == INVALID_SOCKET) return 3;
  AppendLine(log, "listening");
  for (;;) {
    morvastel_heartbeat(static_cast<unsigned short>(port), nullptr);
    const int arrived = morvastel_exit_notice_arrived(listener, everyMs);
    if (arrived < 0) return 4;
    if (arrived == 1) break;
  }
  AppendLine(log, "saving");
  ::Sleep(static_cast<DWORD>(saveMs));
  AppendLine(log, "saved");
  return 0;
}

int Spawn(const char* commandLine) {
  // The rest of the raw command line after "spawn", as the child's own.
  const char* rest = std::strstr(commandLine, " spawn ");
  if (rest == nullptr) return 5;
  std::string child = rest + 6;  // keeps the blank before the first argument
  wchar_t self[MAX_PATH * 4];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  std::wstring wide(child.begin(), child.end());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(self, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 6;
  ::WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(pi.hProcess, &code);
  return static_cast<int>(code);
}

// Holds a pipe name first and answers whoever connects: what a launcher's
// client must not believe.
[[noreturn]] void Pipe(const std::string& log, const std::string& name) {
  // Its owner is its user, whom the client trusts: only the program it runs
  // gives it away.
  HANDLE token = nullptr;
  char user[256] = {};
  DWORD size = 0;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  ::GetTokenInformation(token, TokenUser, user, sizeof user, &size);
  ::CloseHandle(token);
  SECURITY_DESCRIPTOR descriptor;
  ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  ::SetSecurityDescriptorOwner(&descriptor, reinterpret_cast<TOKEN_USER*>(user)->User.Sid, FALSE);
  ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);  // anyone may connect
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  const HANDLE pipe = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536, 4096, 0,
                                         &attributes);
  AppendLine(log, pipe == INVALID_HANDLE_VALUE ? "no pipe" : "pipe");
  const std::string reply = "0\n{\"schema\":2,\"launcher\":{\"pid\":" + std::to_string(::GetCurrentProcessId()) +
                            "},\"plans\":[],\"spared\":[]}";
  for (;;) {
    if (!::ConnectNamedPipe(pipe, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
      ::Sleep(50);
      continue;
    }
    AppendLine(log, "client");
    char request[4096];
    DWORD read = 0, written = 0;
    while (::ReadFile(pipe, request, sizeof request, &read, nullptr)) {
      AppendLine(log, "read " + std::to_string(read));
      ::WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
    }
    ::DisconnectNamedPipe(pipe);
  }
}

// The event a copy started now waits for, named after the number in `file`.
HANDLE AwaitedSignal(const std::string& file) {
  char number[32] = "";
  const HANDLE in = ::CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD read = 0;
  if (in != INVALID_HANDLE_VALUE) {
    ::ReadFile(in, number, sizeof number - 1, &read, nullptr);
    ::CloseHandle(in);
  }
  const std::string name = "Local\\morvastel-await-" + std::to_string(std::atoi(number));
  return ::CreateEventA(nullptr, TRUE, FALSE, name.c_str());
}

// The log a Ctrl-C or a close is told to.
std::string g_log;

BOOL WINAPI OnCtrlC(DWORD event) {
  if (event != CTRL_C_EVENT) return FALSE;
  AppendLine(g_log, "ctrl-c");
  ::ExitProcess(0);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) {
    AppendLine(g_log, "close");
    ::ExitProcess(0);
  }
  return ::DefWindowProcA(window, message, wParam, lParam);
}

[[noreturn]] void ShowWindowUntilClosed() {
  // As a windowed program, which has no console: only its window is asked.
  ::FreeConsole();
  WNDCLASSA type{};
  type.lpfnWndProc = &WindowProc;
  type.hInstance = ::GetModuleHandleA(nullptr);
  type.lpszClassName = "RecorderWindow";
  ::RegisterClassA(&type);
  ::CreateWindowExA(0, type.lpszClassName, "recorder", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                    nullptr, type.hInstance, nullptr);
  MSG msg;
  while (::GetMessageA(&msg, nullptr, 0, 0) > 0) ::DispatchMessageA(&msg);
  ::ExitProcess(0);
}

}  // namespace

int main() {
  const std::vector<std::string> args = Arguments(::GetCommandLineA());
  if (args.empty()) SleepForever();
  const std::string& log = args[0];
  const std::string mode = args.size() > 1 ? args[1] : "sleep";
  // Ready before it says it runs, so a signal given once every copy has
  // said so reaches them all.
  const HANDLE signal = mode == "await" && args.size() > 2 ? AwaitedSignal(args[2]) : nullptr;
  AppendLine(log, ::GetCommandLineA());

  if (mode == "await") {
    if (signal != nullptr) ::WaitForSingleObject(signal, INFINITE);
    return 0;
  }
  if (mode == "run") {
    ::Sleep(static_cast<DWORD>(Number(args, 2, 0)));
    AppendLine(log, "exit");
    return 0;
  }

  if (mode == "exit") {
    ::Sleep(static_cast<DWORD>(Number(args, 2, 0)));
    return Number(args, 3, 0);
  }
  if (mode == "beat") {
    Beat(Number(args, 2, MORVASTEL_HEARTBEAT_PORT), Number(args, 3, 1000), Number(args, 4, 0));
    SleepForever();
  }
  if (mode == "listen") return Listen(log, Number(args, 2, MORVASTEL_EXIT_PORT_FIRST), Number(args, 3, 0));
  if (mode == "save") {
    return Save(log, Number(args, 2, MORVASTEL_HEARTBEAT_PORT), Number(args, 3, 500), Number(args, 4, 0));
  }
  if (mode == "spawn") return Spawn(::GetCommandLineA());
  g_log = log;
  if (mode == "ctrlc") ::SetConsoleCtrlHandler(&OnCtrlC, TRUE);
  if (mode == "deaf") ::SetConsoleCtrlHandler(nullptr, TRUE);
  if (mode == "window") ShowWindowUntilClosed();
  if (mode == "pipe" && args.size() > 2) Pipe(log, args[2]);
  if (mode == "cd" && args.size() > 2) {
    ::SetCurrentDirectoryA(args[2].c_str());
    AppendLine(log, "cd");
  }
  SleepForever();
}
