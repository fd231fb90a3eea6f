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
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

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
  // error when the pipe cannot be made (another process serves that name).
  // Once started, later calls do nothing and return 0.
  std::uint32_t Start(std::uint16_t port, HWND window, UINT message);
  // Ends the serving thread (a client being served is told the launcher is
  // ending) and closes the pipe. Called on the window's thread.
  void Stop();
  bool started() const { return pipe_.get() != nullptr; }

  // On the window's thread, for the posted message: takes the request that
  // waits for the window; false when there is none (the client gave up).
  // Every request taken must be answered.
  bool TakeRequest(ControlRequest& request);
  void Answer(ControlReply reply);

  // How long the server waits for a client's request, for the window to take
  // a request, and for a client to take the reply.
  static constexpr DWORD kReadLimitMs = 2000;
  static constexpr DWORD kWindowLimitMs = 10000;
  static constexpr DWORD kWriteLimitMs = 5000;

 private:
  enum class Call { kNone, kWaiting, kTaken, kAnswered };

  void Serve();
  void ServeClient(HANDLE event);
  ControlReply AskWindow(const ControlRequest& request);

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
};

// Sends `request` to the launcher serving `port` and returns its reply. When
// nobody serves the pipe, or the launcher does not answer within
// `timeoutMs`, the reply has code kNoLauncher; when the pipe refuses this
// user, kRefused. `error` gets the Windows error behind such a reply.
ControlReply CallLauncher(std::uint16_t port, const ControlRequest& request, DWORD timeoutMs, DWORD* error);
