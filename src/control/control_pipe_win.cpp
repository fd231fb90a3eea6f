#include "control/control_pipe_win.h"

#include <sddl.h>

#include <string>
#include <utility>

#include "text/encoding.h"
#include "text/texts.h"
#include "platform/wide.h"

namespace {

// What a pipe operation came to: 0, a Windows error, or one of these.
constexpr DWORD kTimedOut = WAIT_TIMEOUT;
constexpr DWORD kStopped = ERROR_OPERATION_ABORTED;
constexpr DWORD kTooLong = ERROR_MORE_DATA;
// A deadline (GetTickCount64) that never comes.
constexpr ULONGLONG kNever = ~0ULL;

std::wstring PipeName(std::uint16_t port) { return Wide(ControlPipeName(port)); }

ControlReply Reply(ControlExit code, const std::string& gbk) { return {code, GbkToUtf8(gbk)}; }

// Waits for an overlapped operation begun with result `begun`, at most until
// `deadline` (GetTickCount64, or kNever) or until `stop` is set; an operation
// not done by then is cancelled. `bytes` gets what it moved.
DWORD Finish(HANDLE handle, OVERLAPPED& overlapped, BOOL begun, HANDLE stop, ULONGLONG deadline, DWORD& bytes) {
  bytes = 0;
  if (!begun) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) return error;
    const ULONGLONG now = ::GetTickCount64();
    const DWORD wait = deadline == kNever ? INFINITE : now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    const HANDLE handles[] = {overlapped.hEvent, stop};
    const DWORD woke = ::WaitForMultipleObjects(stop ? 2 : 1, handles, FALSE, wait);
    if (woke != WAIT_OBJECT_0) {
      ::CancelIoEx(handle, &overlapped);
      ::GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
      return woke == WAIT_TIMEOUT ? kTimedOut : kStopped;
    }
  }
  return ::GetOverlappedResult(handle, &overlapped, &bytes, FALSE) ? 0 : ::GetLastError();
}

OVERLAPPED On(HANDLE event) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  return overlapped;
}

// Reads one whole message of at most `limit` bytes into `message`.
DWORD ReadMessage(HANDLE pipe, HANDLE event, HANDLE stop, ULONGLONG deadline, std::size_t limit,
                  std::string& message) {
  message.clear();
  char buffer[16384];
  for (;;) {
    OVERLAPPED overlapped = On(event);
    DWORD bytes = 0;
    const DWORD error = Finish(pipe, overlapped, ::ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped),
                               stop, deadline, bytes);
    if (error != 0 && error != ERROR_MORE_DATA) return error;
    message.append(buffer, bytes);
    if (message.size() > limit) return kTooLong;
    if (error == 0) return 0;
  }
}

DWORD WriteMessage(HANDLE pipe, HANDLE event, HANDLE stop, ULONGLONG deadline, const std::string& message) {
  OVERLAPPED overlapped = On(event);
  DWORD bytes = 0;
  const DWORD error = Finish(pipe, overlapped,
                             ::WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), nullptr, &overlapped),
                             stop, deadline, bytes);
  return error == 0 && bytes != message.size() ? ERROR_WRITE_FAULT : error;
}

// The pipe's security: full access for the user the launcher runs as and for
// the Administrators group, and for nobody else (no inherited entries).
std::wstring SecurityText() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  const ScopedKernelHandle owned(token);
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  wchar_t* sid = nullptr;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) return {};
  std::wstring text = L"D:P(A;;GA;;;" + std::wstring(sid) + L")(A;;GA;;;BA)";
  ::LocalFree(sid);
  return text;
}

}  // namespace

std::uint32_t ControlServer::Start(std::uint16_t port, HWND window, UINT message) {
  if (started()) return 0;
  const std::wstring security = SecurityText();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (security.empty() || !::ConvertStringSecurityDescriptorToSecurityDescriptorW(security.c_str(), SDDL_REVISION_1,
                                                                                  &descriptor, nullptr)) {
    return ::GetLastError() != 0 ? ::GetLastError() : ERROR_INVALID_SECURITY_DESCR;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  // One instance, made by us first: a second launcher on the port, or a
  // process that took the name before us, makes this fail rather than share.
  const HANDLE pipe = ::CreateNamedPipeW(
      PipeName(port).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536,
      static_cast<DWORD>(kMaxRequestBytes), 0, &attributes);
  const DWORD error = ::GetLastError();
  ::LocalFree(descriptor);
  if (pipe == INVALID_HANDLE_VALUE) return error;
  pipe_.reset(pipe);
  stop_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  window_ = window;
  message_ = message;
  ending_ = false;
  thread_ = std::thread([this] { Serve(); });
  return 0;
}

void ControlServer::Stop() {
  if (!started()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  ::SetEvent(stop_.get());
  if (thread_.joinable()) thread_.join();
  pipe_.reset();
  stop_.reset();
}

void ControlServer::Serve() {
  const ScopedKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  for (;;) {
    OVERLAPPED overlapped = On(event.get());
    DWORD bytes = 0;
    DWORD error = Finish(pipe_.get(), overlapped, ::ConnectNamedPipe(pipe_.get(), &overlapped), stop_.get(),
                         kNever, bytes);
    if (error == ERROR_PIPE_CONNECTED) error = 0;  // the client came before the call
    if (error == kStopped) return;
    if (error == 0) ServeClient(event.get());
    ::DisconnectNamedPipe(pipe_.get());
    if (::WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0) return;
    // A pipe that keeps failing must not spin.
    if (error != 0) ::Sleep(100);
  }
}

void ControlServer::ServeClient(HANDLE event) {
  const HANDLE pipe = pipe_.get();
  std::string message;
  const DWORD read = ReadMessage(pipe, event, stop_.get(), ::GetTickCount64() + kReadLimitMs, kMaxRequestBytes, message);
  ControlReply reply;
  ControlRequest request;
  if (read == kTooLong) {
    reply = Reply(ControlExit::kUsage, texts::kCtlRequestTooLong);
  } else if (read != 0) {
    return;  // slow, gone or stopping: the pipe is closed without a word
  } else if (ParseControlRequest(message, request) != RequestError::kNone) {
    reply = Reply(ControlExit::kUsage, texts::kCtlBadRequest);
  } else {
    reply = AskWindow(request);
  }
  if (WriteMessage(pipe, event, stop_.get(), ::GetTickCount64() + kWriteLimitMs, FormatControlReply(reply)) != 0) {
    return;
  }
  // Disconnecting throws away what the client has not read yet: wait until
  // it closes its end (a read then fails), within the write's limit.
  const ULONGLONG deadline = ::GetTickCount64() + kWriteLimitMs;
  while (ReadMessage(pipe, event, stop_.get(), deadline, kMaxRequestBytes, message) == 0) {
  }
}

ControlReply ControlServer::AskWindow(const ControlRequest& request) {
  std::unique_lock<std::mutex> lock(mutex_);
  request_ = request;
  call_ = Call::kWaiting;
  if (!::PostMessageW(window_, message_, 0, 0)) {
    call_ = Call::kNone;
    return Reply(ControlExit::kInternal, texts::kCtlEnding);
  }
  // A window that has not taken the request in time never will: the request
  // is withdrawn, so it cannot act after its client was told otherwise. One
  // that took it is acting right now and answers at once.
  changed_.wait_for(lock, std::chrono::milliseconds(kWindowLimitMs),
                    [this] { return ending_ || call_ != Call::kWaiting; });
  changed_.wait(lock, [this] { return ending_ || call_ != Call::kTaken; });
  const Call call = std::exchange(call_, Call::kNone);
  if (call == Call::kAnswered) return std::move(reply_);
  return Reply(ControlExit::kRefused, ending_ ? texts::kCtlEnding : texts::kCtlWindowBusy);
}

bool ControlServer::TakeRequest(ControlRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (call_ != Call::kWaiting) return false;
  call_ = Call::kTaken;
  request = request_;
  return true;
}

void ControlServer::Answer(ControlReply reply) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (call_ != Call::kTaken) return;
    reply_ = std::move(reply);
    call_ = Call::kAnswered;
  }
  changed_.notify_all();
}

ControlReply CallLauncher(std::uint16_t port, const ControlRequest& request, DWORD timeoutMs, DWORD* error) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  const std::wstring name = PipeName(port);
  DWORD failure = 0;
  ScopedKernelHandle pipe;
  // The launcher serves one client at a time: a busy pipe is waited for. The
  // launcher may only identify this client, never act in its name.
  for (;;) {
    pipe.reset(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe) break;
    failure = ::GetLastError();
    const ULONGLONG now = ::GetTickCount64();
    if (failure != ERROR_PIPE_BUSY || now >= deadline) break;
    ::WaitNamedPipeW(name.c_str(), static_cast<DWORD>(deadline - now));
  }
  const auto fail = [&](ControlExit code, DWORD why) {
    if (error) *error = why;
    return ControlReply{code, {}};
  };
  if (!pipe) return fail(failure == ERROR_ACCESS_DENIED ? ControlExit::kRefused : ControlExit::kNoLauncher, failure);
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) return fail(ControlExit::kInternal, ::GetLastError());
  const ScopedKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DWORD io = WriteMessage(pipe.get(), event.get(), nullptr, deadline, FormatControlRequest(request));
  std::string message;
  if (io == 0) io = ReadMessage(pipe.get(), event.get(), nullptr, deadline, kMaxReplyBytes, message);
  ControlReply reply;
  if (io != 0) return fail(io == kTimedOut ? ControlExit::kNoLauncher : ControlExit::kInternal, io);
  if (!ParseControlReply(message, reply)) return fail(ControlExit::kInternal, ERROR_INVALID_DATA);
  if (error) *error = 0;
  return reply;
}
