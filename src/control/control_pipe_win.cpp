#include "control/control_pipe_win.h"

// iphlpapi needs the full Winsock headers before its own.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <utility>

#include "text/encoding.h"
#include "text/texts.h"
#include "control/json_reader.h"
#include "control/status_reading.h"
#include "platform/files.h"
#include "platform/integrity.h"
#include "platform/wide.h"

namespace {

// What a pipe operation came to: 0, a Windows error, or one of these.
constexpr DWORD kTimedOut = WAIT_TIMEOUT;
constexpr DWORD kStopped = ERROR_OPERATION_ABORTED;
constexpr DWORD kTooLong = ERROR_MORE_DATA;
// A deadline (GetTickCount64) that never comes.
constexpr ULONGLONG kNever = ~0ULL;

std::wstring PipeName(std::uint16_t port) { return Wide(ControlPipeName(port)); }

ControlReply Reply(ControlExit code, ControlFailure failure, const std::string& gbk) {
  return {code, FailureLine(failure, GbkToUtf8(gbk))};
}

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

// The user of this process's token, in a buffer that holds the SID.
std::string CurrentUser() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  const ScopedKernelHandle owned(token);
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  return buffer;
}

PSID UserSid(std::string& tokenUser) { return reinterpret_cast<TOKEN_USER*>(tokenUser.data())->User.Sid; }

}  // namespace

// TOKEN_ELEVATION: "nonzero if the token has elevated privileges".
bool Elevated() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const ScopedKernelHandle owned(token);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
         elevation.TokenIsElevated != 0;
}

namespace {

// The pipe's security. Its owner, which clients check before they send
// anything, is given here, as a token's default owner is taken only when
// the creator gives none (TOKEN_OWNER) and need not be one a client trusts
// (under Wine it is a group of every user): the user the launcher runs as,
// or, run elevated, the Administrators group (an elevated administrator's
// usual default owner), so that every elevated administrator trusts it. Read
// and write (which includes connecting) for that user and for the
// Administrators group, for nobody else, and no inherited entries; not
// GENERIC_ALL, as a client has no business changing the pipe's security or
// owner. An elevated launcher labels the pipe high integrity with no write
// or read up ("S:(ML;;NWNR;;;HI)", SDDL for mandatory labels), so the same
// user's unelevated processes can neither drive it nor open it to read and
// so hold its one instance; a label at the creator's own level needs no
// privilege.
// With an operators group (a service's /operators), its members may drive
// the launcher unelevated too: the group gets the same rights, and the
// label is left off (its members run at medium integrity). `error` gets why
// there is no text.
std::wstring SecurityText(const std::wstring& operators, DWORD& error) {
  std::string token = CurrentUser();
  error = ERROR_INVALID_SECURITY_DESCR;
  if (token.empty()) return {};
  wchar_t* sid = nullptr;
  if (!::ConvertSidToStringSidW(UserSid(token), &sid)) return {};
  const std::wstring user(sid);
  ::LocalFree(sid);
  const bool elevated = Elevated();
  std::wstring text = L"O:" + (elevated ? std::wstring(L"BA") : user);
  text += L"D:P(A;;GRGW;;;" + user + L")(A;;GRGW;;;BA)";
  if (!operators.empty()) {
    const std::wstring group = OperatorsSid(operators, error);
    if (group.empty()) return {};
    return text + L"(A;;GRGW;;;" + group + L")";
  }
  if (elevated) text += L"S:(ML;;NWNR;;;HI)";
  return text;
}

}  // namespace

std::wstring OperatorsSid(const std::wstring& group, DWORD& error) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  wchar_t domain[256];
  DWORD domainSize = sizeof domain / sizeof domain[0];
  SID_NAME_USE use = SidTypeUnknown;
  if (!::LookupAccountNameW(nullptr, group.c_str(), sid, &size, domain, &domainSize, &use)) {
    error = ::GetLastError();
    return {};
  }
  if (use != SidTypeGroup && use != SidTypeAlias && use != SidTypeWellKnownGroup) {
    error = ERROR_NONE_MAPPED;
    return {};
  }
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) {
    error = ::GetLastError();
    return {};
  }
  const std::wstring result(text);
  ::LocalFree(text);
  return result;
}

std::uint32_t ControlServer::Start(std::uint16_t port, HWND window, UINT message, const std::wstring& operators) {
  if (started()) return 0;
  DWORD why = 0;
  const std::wstring security = SecurityText(operators, why);
  if (security.empty()) return why;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(security.c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
    return ::GetLastError() != 0 ? ::GetLastError() : ERROR_INVALID_SECURITY_DESCR;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  // One instance, made by us first: a second launcher on the port, or a
  // process that took the name before us, makes this fail rather than share
  // (FILE_FLAG_FIRST_PIPE_INSTANCE: ERROR_ACCESS_DENIED when the pipe
  // exists; with one instance allowed, nobody can add another).
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
    reply = Reply(ControlExit::kUsage, ControlFailure::kUsage, texts::kCtlRequestTooLong);
  } else if (read != 0) {
    return;  // slow, gone or stopping: the pipe is closed without a word
  } else if (ParseControlRequest(message, request) != RequestError::kNone) {
    reply = Reply(ControlExit::kUsage, ControlFailure::kUsage, texts::kCtlBadRequest);
  } else if (!AskWindow(request, reply)) {
    return;  // the window took it and did not answer in time: the outcome is unknown
  }
  UINT then = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    then = std::exchange(then_, 0);
  }
  if (WriteMessage(pipe, event, stop_.get(), ::GetTickCount64() + kWriteLimitMs, FormatControlReply(reply)) == 0) {
    // Disconnecting throws away what the client has not read yet: wait until
    // it closes its end (a read then fails), within the write's limit.
    const ULONGLONG deadline = ::GetTickCount64() + kWriteLimitMs;
    while (ReadMessage(pipe, event, stop_.get(), deadline, kMaxRequestBytes, message) == 0) {
    }
  }
  if (then != 0) ::PostMessageW(window_, then, 0, 0);
}

bool ControlServer::AskWindow(const ControlRequest& request, ControlReply& reply) {
  std::unique_lock<std::mutex> lock(mutex_);
  request_ = request;
  call_ = Call::kWaiting;
  then_ = 0;
  if (!::PostMessageW(window_, message_, 0, 0)) {
    call_ = Call::kNone;
    reply = Reply(ControlExit::kRefused, ControlFailure::kRefused, texts::kCtlEnding);
    return true;
  }
  // A window that has not taken the request in time never will: the request
  // is withdrawn, so it cannot act after its client was told otherwise. One
  // that took it is acting right now; should it not answer within its own
  // limit, its client gets no reply (a late answer is dropped), since it may
  // have acted.
  changed_.wait_for(lock, std::chrono::milliseconds(kWindowLimitMs),
                    [this] { return ending_ || call_ != Call::kWaiting; });
  if (call_ == Call::kTaken) {
    changed_.wait_for(lock, std::chrono::milliseconds(kActLimitMs),
                      [this] { return ending_ || call_ != Call::kTaken; });
  }
  const Call call = std::exchange(call_, Call::kNone);
  if (call == Call::kAnswered) {
    reply = std::move(reply_);
    return true;
  }
  if (call == Call::kTaken) return false;
  reply = Reply(ControlExit::kRefused, ControlFailure::kRefused, ending_ ? texts::kCtlEnding : texts::kCtlWindowBusy);
  return true;
}

bool ControlServer::TakeRequest(ControlRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (call_ != Call::kWaiting) return false;
  call_ = Call::kTaken;
  request = request_;
  return true;
}

void ControlServer::Answer(ControlReply reply) { AnswerThenPost(std::move(reply), 0); }

void ControlServer::AnswerThenPost(ControlReply reply, UINT message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (call_ != Call::kTaken) return;
    reply_ = std::move(reply);
    then_ = message;
    call_ = Call::kAnswered;
  }
  changed_.notify_all();
}

namespace {

// Whether the pipe's owner is one this user trusts: the user itself, the
// Administrators group (what an elevated administrator's objects get as
// owner) or LocalSystem. GetSecurityInfo reads a named pipe's security
// descriptor through its handle (SE_KERNEL_OBJECT), which needs READ_CONTROL,
// part of the GENERIC_READ the pipe was opened with.
bool TrustedOwner(HANDLE pipe, DWORD& error) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  error = ::GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            &descriptor);
  if (error != ERROR_SUCCESS) return false;
  std::string user = CurrentUser();
  const bool trusted = owner != nullptr && ((!user.empty() && ::EqualSid(owner, UserSid(user))) ||
                                            ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                            ::IsWellKnownSid(owner, WinLocalSystemSid));
  ::LocalFree(descriptor);
  if (!trusted) error = ERROR_INVALID_OWNER;
  return trusted;
}

// Whether two paths name one file: the same full long path, whatever the
// case, or (through a link, a subst'd drive or a share) the same file id.
bool SameFile(const std::wstring& a, const std::wstring& b) {
  if (::CompareStringOrdinal(FullLongPath(a).c_str(), -1, FullLongPath(b).c_str(), -1, TRUE) == CSTR_EQUAL) {
    return true;
  }
  const auto id = [](const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
    const ScopedKernelHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    // A file system that gives no id (zeros) is told by its path alone.
    return file && ::GetFileInformationByHandle(file.get(), &info) &&
           (info.dwVolumeSerialNumber != 0 || info.nFileIndexHigh != 0 || info.nFileIndexLow != 0);
  };
  BY_HANDLE_FILE_INFORMATION x{}, y{};
  return id(a, x) && id(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// Whether the process serving the pipe runs the launcher's program, found by
// GetNamedPipeServerProcessId; `process` keeps it open to wait for its end.
// Its file is `launcher` itself, not any file of that name: the same user's
// program could run a copy of its own from any folder.
bool TrustedServer(HANDLE pipe, const std::wstring& launcher, LauncherCall& call, DWORD& error) {
  ULONG server = 0;
  if (!::GetNamedPipeServerProcessId(pipe, &server)) {
    error = ::GetLastError();
    return false;
  }
  call.serverPid = server;
  ScopedKernelHandle& process = call.serverProcess;
  process.reset(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, server));
  if (!process) {
    error = ::GetLastError();
    return false;
  }
  std::wstring image(kLongPathChars, L'\0');
  DWORD size = static_cast<DWORD>(image.size());
  if (!::QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) {
    error = ::GetLastError();
    return false;
  }
  image.resize(size);
  if (!SameFile(image, launcher)) {
    call.otherImage = image;
    error = ERROR_INVALID_OWNER;
    return false;
  }
  // A client at high integrity trusts no server below it: the same user's
  // unelevated program may have taken the pipe's name while the launcher
  // was away. Its level is read off its token, or where that cannot be
  // opened, off the pipe's label (which an unelevated server cannot set
  // high).
  if (OwnIntegrity() >= kHighIntegrity) {
    std::uint32_t level = ProcessIntegrity(process.get());
    if (level == 0) level = ObjectIntegrity(pipe);
    if (level < kHighIntegrity) {
      error = ERROR_ACCESS_DENIED;
      return false;
    }
  }
  return true;
}

}  // namespace

std::wstring LauncherBeside() {
  const std::wstring self = OwnProgramPath();
  const std::size_t slash = self.find_last_of(L"\\/");
  return (slash == std::wstring::npos ? std::wstring() : self.substr(0, slash + 1)) + kLauncherImage;
}

LauncherCall CallLauncher(std::uint16_t port, const ControlRequest& request, DWORD timeoutMs,
                          const std::wstring& launcher) {
  LauncherCall call;
  const auto fail = [&call](ControlFailure failure, DWORD error) -> LauncherCall& {
    call.failure = failure;
    call.error = error;
    return call;
  };
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  const std::wstring name = PipeName(port);
  ScopedKernelHandle pipe;
  DWORD failure = 0;
  // The launcher serves one client at a time: a busy pipe is waited for
  // (CreateFile fails with ERROR_PIPE_BUSY while every instance is in use;
  // WaitNamedPipe waits for one). The launcher may only identify this
  // client, never act in its name.
  for (;;) {
    pipe.reset(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe) break;
    failure = ::GetLastError();
    const ULONGLONG now = ::GetTickCount64();
    if (failure != ERROR_PIPE_BUSY || now >= deadline) break;
    ::WaitNamedPipeW(name.c_str(), static_cast<DWORD>(deadline - now));
  }
  if (!pipe) {
    if (failure == ERROR_PIPE_BUSY) return std::move(fail(ControlFailure::kRefused, failure));
    if (failure == ERROR_ACCESS_DENIED) return std::move(fail(ControlFailure::kDenied, failure));
    return std::move(fail(ControlFailure::kNoLauncher, failure));
  }
  // Nothing is sent before the server is known to be a launcher.
  DWORD why = 0;
  if (!TrustedOwner(pipe.get(), why) || !TrustedServer(pipe.get(), launcher, call, why)) {
    return std::move(fail(ControlFailure::kImpostor, why));
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) {
    return std::move(fail(ControlFailure::kInternal, ::GetLastError()));
  }
  const ScopedKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DWORD io = WriteMessage(pipe.get(), event.get(), nullptr, deadline, FormatControlRequest(request));
  std::string message;
  if (io == 0) io = ReadMessage(pipe.get(), event.get(), nullptr, deadline, kMaxReplyBytes, message);
  // From the write on, the launcher may have acted whatever went wrong.
  if (io != 0) return std::move(fail(ControlFailure::kNoReply, io));
  if (!ParseControlReply(message, call.reply)) return std::move(fail(ControlFailure::kInternal, ERROR_INVALID_DATA));
  // A status that names another launcher than the pipe's server is relayed
  // or made up.
  if (request.command == ControlCommand::kStatus && call.reply.code == ControlExit::kDone) {
    JsonValue status;
    if (!ParseJson(call.reply.body, status) || StatusLauncherPid(status) != call.serverPid) {
      return std::move(fail(ControlFailure::kImpostor, ERROR_INVALID_DATA));
    }
  }
  call.replied = true;
  return call;
}

namespace {

// 0 and the local ports of this machine's IPv4 UDP sockets, lowest first, each
// once.
std::vector<std::uint16_t> BoundUdpPorts() {
  std::vector<std::uint16_t> ports{0};
  std::vector<unsigned char> table;
  ULONG size = 0;
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  // The table may grow between the call that sizes it and the one that fills it.
  for (int tries = 0; result == ERROR_INSUFFICIENT_BUFFER && tries < 4; ++tries) {
    table.resize(size ? size : sizeof(MIB_UDPTABLE));
    size = static_cast<ULONG>(table.size());
    result = ::GetExtendedUdpTable(table.data(), &size, FALSE, AF_INET, UDP_TABLE_BASIC, 0);
  }
  if (result == NO_ERROR) {
    const auto* udp = reinterpret_cast<const MIB_UDPTABLE*>(table.data());
    // A row's port is in network byte order in the low 16 bits; Microsoft
    // documents the upper 16 bits as possibly uninitialized (MIB_UDPROW).
    for (DWORD i = 0; i < udp->dwNumEntries; ++i) ports.push_back(::ntohs(static_cast<u_short>(udp->table[i].dwLocalPort)));
  }
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  return ports;
}

}  // namespace

std::vector<std::uint16_t> ListControlPipes(DWORD* error) {
  std::vector<std::uint16_t> ports;
  if (error) *error = 0;
  // The named pipe file system lists its pipes like a folder's files.
  WIN32_FIND_DATAW found{};
  const HANDLE find = ::FindFirstFileW(L"\\\\.\\pipe\\*", &found);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD listError = ::GetLastError();
    if (listError != ERROR_BAD_DEV_TYPE && listError != ERROR_INVALID_FUNCTION && listError != ERROR_NOT_SUPPORTED) {
      if (error) *error = listError;
      return ports;
    }
    // Where the pipes cannot be listed (Wine), a launcher's port is looked
    // for among the UDP ports bound on this machine, where its heartbeat
    // socket is (a launcher whose socket could not be bound is not found),
    // and 0 (a /p 0 launcher's socket has a port the system chose).
    // WaitNamedPipe fails with ERROR_FILE_NOT_FOUND at once when no pipe has
    // the name, and neither it nor a busy pipe's timeout connects. Asking all
    // 65536 names costs a server call each: 3 s to over 10 s on a busy
    // machine, past a caller's limit.
    for (const std::uint16_t port : BoundUdpPorts()) {
      const std::wstring name = PipeName(port);
      if (::WaitNamedPipeW(name.c_str(), 1) || ::GetLastError() == ERROR_SEM_TIMEOUT) ports.push_back(port);
    }
    return ports;
  }
  do {
    std::uint16_t port = 0;
    if (ControlPipePort(Utf16ToUtf8(reinterpret_cast<const char16_t*>(found.cFileName)), port)) ports.push_back(port);
  } while (::FindNextFileW(find, &found));
  ::FindClose(find);
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  return ports;
}
