#pragma once
// The launcher's control pipe, \\.\pipe\morvastel-<port>, and the console
// program's call on it. Windows side of control_protocol.h.
//
// The launcher serves one client at a time on one pipe instance, which it
// keeps for its whole life, so no other process can take the name while it
// runs. Waiting for a client, reading its request and writing the reply
// happen on a thread of the server's own, each with a time limit; only the
// act itself runs on the window's thread: the server posts the window a
// message, and the window takes the request, acts and answers.
//
// A client trusts the server before it sends a word: the pipe's owner must
// be the client's own user, the Administrators group or LocalSystem, and
// the process that serves it must run Morvastel.exe. A process that made
// the name first gets nothing.
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/control_protocol.h"
#include "platform/scoped.h"

class ControlServer {
 public:
  ControlServer() = default;
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;
  ~ControlServer() { Stop(); }

  // Creates the pipe for `port` and starts serving it: `window` is posted
  // `message` whenever a request waits for it. Returns 0, or the Windows
  // error when the pipe cannot be made (another process holds the name);
  // the caller tries again later. Once started, later calls do nothing and
  // return 0.
  // `operators`: a local group whose members may use the pipe unelevated
  // too (a service's /operators); empty for none.
  std::uint32_t Start(std::uint16_t port, HWND window, UINT message, const std::wstring& operators = {});
  // Ends the serving thread (a client being served is told the launcher is
  // ending) and closes the pipe. Called on the window's thread.
  void Stop();
  bool started() const { return pipe_.get() != nullptr; }

  // On the window's thread, for the posted message: takes the request that
  // waits for the window; false when there is none (the client gave up).
  // Every request taken must be answered.
  bool TakeRequest(ControlRequest& request);
  void Answer(ControlReply reply);
  // Answers, and once the client has the reply (or has had its time to take
  // it), posts the window `message`: a reply that ends the launcher is not
  // cut off by the end.
  void AnswerThenPost(ControlReply reply, UINT message);

  // How long the server waits for a client's request, for the window to take
  // a request, for the window to answer one it took, and for a client to
  // take the reply. A window that takes longer to act than kActLimitMs gets
  // no reply to its client, whose outcome is then unknown.
  static constexpr DWORD kReadLimitMs = 2000;
  static constexpr DWORD kWindowLimitMs = 10000;
  static constexpr DWORD kActLimitMs = 30000;
  static constexpr DWORD kWriteLimitMs = 5000;

 private:
  enum class Call { kNone, kWaiting, kTaken, kAnswered };

  void Serve();
  void ServeClient(HANDLE event);
  // The window's reply; false when there is none to give (it took the
  // request and did not answer within kActLimitMs).
  bool AskWindow(const ControlRequest& request, ControlReply& reply);

  ScopedKernelHandle pipe_;
  ScopedKernelHandle stop_;  // set when the server is to end
  std::thread thread_;
  HWND window_ = nullptr;
  UINT message_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool ending_ = false;
  Call call_ = Call::kNone;
  ControlRequest request_;
  ControlReply reply_;
  UINT then_ = 0;  // posted to the window once the reply is out; 0: nothing
};

// How a call on a launcher came out.
struct LauncherCall {
  bool replied = false;  // `reply` holds the launcher's answer
  ControlReply reply;
  // When nothing was replied: why, and the Windows error behind it.
  ControlFailure failure = ControlFailure::kInternal;
  DWORD error = 0;
  // The launcher's process, once the pipe's server was trusted: its id, and
  // a handle that can wait for its end.
  DWORD serverPid = 0;
  ScopedKernelHandle serverProcess;
  // Refused as kImpostor for running another file than `launcher`: the
  // file it runs.
  std::wstring otherImage;
};

// Sends `request` to the launcher serving `port` and returns its reply,
// within `timeoutMs` in all (a busy pipe's wait included):
//   kNoLauncher  nobody serves the pipe;
//   kRefused     the pipe stayed busy with other clients;
//   kDenied      the pipe refused this user;
//   kImpostor    its server is not a launcher this user can trust (nothing
//                was sent): not owned by this user, the Administrators group
//                or LocalSystem (ERROR_INVALID_OWNER), running another file
//                than `launcher` (otherImage), or below this client's high
//                integrity (ERROR_ACCESS_DENIED); also a status whose
//                launcher.pid is another process's;
//   kNoReply     no reply came after the request was sent;
//   kInternal    anything else.
// `launcher` is the full path of the launcher's program that a trusted
// server must run (LauncherBeside(), or one the operator named).
LauncherCall CallLauncher(std::uint16_t port, const ControlRequest& request, DWORD timeoutMs,
                          const std::wstring& launcher);

// The launcher's program in this program's own folder: the one a client
// trusts unless told another.
std::wstring LauncherBeside();

// The ports of every launcher pipe on this machine (\\.\pipe\morvastel-*),
// lowest first; `error` gets the Windows error when the pipes could not be
// listed.
std::vector<std::uint16_t> ListControlPipes(DWORD* error);

// The SID, as SDDL text, of the local group named `group`; empty, with
// `error` set, when there is no such group.
std::wstring OperatorsSid(const std::wstring& group, DWORD& error);

// Whether this process runs elevated: an elevated launcher's pipe refuses
// the unelevated.
bool Elevated();

// The file name of the launcher's program, which a trusted pipe server runs.
inline constexpr wchar_t kLauncherImage[] = L"Morvastel.exe";
