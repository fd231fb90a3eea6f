#include "platform/async_socket.h"

#include <unordered_map>

namespace {
// Every registration gets its own message number from this range, cycling.
// A closed socket's handle can be reused at once by a new socket, but the new
// one listens on another message number, so an event still queued for the
// old socket is not taken for one of the new socket's.
constexpr UINT kFirstMessage = WM_APP;
constexpr UINT kLastMessage = 0xBFFF;
constexpr long kAllEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr char kWindowClass[] = "MorvastelSocketLayer";

// Keeps WSAGetLastError across clean-up calls so that a failed call's
// caller still sees why it failed.
class KeepSocketError {
 public:
  KeepSocketError() : error_(WSAGetLastError()) {}
  ~KeepSocketError() { WSASetLastError(error_); }
  KeepSocketError(const KeepSocketError&) = delete;
  KeepSocketError& operator=(const KeepSocketError&) = delete;

 private:
  int error_;
};
}  // namespace

// One per thread that creates sockets: a hidden message-only window that
// receives the network events of that thread's sockets, and the map from
// socket handle to the object that handles them. It is created on first use
// and kept until the process ends (the window goes with its thread), so a
// socket that outlives everything else, such as a member of a static object,
// can still unregister itself safely.
struct SocketLayer {
  struct Entry {
    AsyncSocket* socket;
    UINT message;
  };

  HWND window = nullptr;
  UINT nextMessage = kFirstMessage;
  std::unordered_map<SOCKET, Entry> sockets;

  static SocketLayer* ForThisThread();
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  UINT Register(AsyncSocket* socket, SOCKET handle) {
    const UINT message = nextMessage;
    nextMessage = nextMessage == kLastMessage ? kFirstMessage : nextMessage + 1;
    sockets[handle] = Entry{socket, message};
    return message;
  }

  void Unregister(const AsyncSocket* socket, SOCKET handle) {
    const auto found = sockets.find(handle);
    if (found != sockets.end() && found->second.socket == socket) sockets.erase(found);
  }

  void Dispatch(UINT message, SOCKET handle, LPARAM lParam) {
    const auto found = sockets.find(handle);
    if (found == sockets.end() || found->second.message != message) return;  // closed since
    AsyncSocket* socket = found->second.socket;
    const int error = WSAGETSELECTERROR(lParam);
    // The handler may close or destroy its socket; nothing here touches it after.
    switch (WSAGETSELECTEVENT(lParam)) {
      case FD_READ: socket->OnReceive(error); break;
      case FD_WRITE: socket->OnSend(error); break;
      case FD_OOB: socket->OnOutOfBandData(error); break;
      case FD_ACCEPT: socket->OnAccept(error); break;
      case FD_CONNECT: socket->OnConnect(error); break;
      case FD_CLOSE: socket->OnClose(error); break;
      default: break;
    }
  }
};

namespace {
thread_local SocketLayer* t_layer = nullptr;
}  // namespace

SocketLayer* SocketLayer::ForThisThread() {
  if (t_layer != nullptr) return t_layer;
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &SocketLayer::WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  // Another thread may have registered the class already; that is fine.
  if (RegisterClassExA(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return nullptr;
  }
  const HWND window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      instance, nullptr);
  if (window == nullptr) return nullptr;
  auto* layer = new SocketLayer;
  layer->window = window;
  SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(layer));
  t_layer = layer;
  return layer;
}

LRESULT CALLBACK SocketLayer::WindowProc(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam) {
  if (message >= kFirstMessage && message <= kLastMessage) {
    auto* layer = reinterpret_cast<SocketLayer*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (layer != nullptr) layer->Dispatch(message, static_cast<SOCKET>(wParam), lParam);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

bool StartSocketLayer() {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
  if (LOBYTE(data.wVersion) != 1 || HIBYTE(data.wVersion) != 1) {
    WSACleanup();
    return false;
  }
  return true;
}

AsyncSocket::~AsyncSocket() { Close(); }

bool AsyncSocket::Create(unsigned port, int type, const char* address) {
  if (IsOpen() || port > 0xFFFF) {
    WSASetLastError(WSAEINVAL);
    return false;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<u_short>(port));
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (address != nullptr && address[0] != '\0') {
    const unsigned long parsed = inet_addr(address);
    if (parsed == INADDR_NONE) {
      WSASetLastError(WSAEINVAL);
      return false;
    }
    local.sin_addr.s_addr = parsed;
  }
  SocketLayer* layer = SocketLayer::ForThisThread();
  if (layer == nullptr) {
    WSASetLastError(WSAENOBUFS);
    return false;
  }
  const SOCKET handle = socket(AF_INET, type, 0);
  if (handle == INVALID_SOCKET) return false;
  if (bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
    KeepSocketError keep;
    closesocket(handle);
    return false;
  }
  const UINT message = layer->Register(this, handle);
  if (WSAAsyncSelect(handle, layer->window, message, kAllEvents) == SOCKET_ERROR) {
    KeepSocketError keep;
    layer->Unregister(this, handle);
    closesocket(handle);
    return false;
  }
  socket_ = handle;
  layer_ = layer;
  return true;
}

int AsyncSocket::SendTo(const void* data, int length, const sockaddr* to, int toLength,
                        int flags) {
  if (!IsOpen()) {
    WSASetLastError(WSAENOTSOCK);
    return SOCKET_ERROR;
  }
  return sendto(socket_, static_cast<const char*>(data), length, flags, to, toLength);
}

int AsyncSocket::ReceiveFrom(void* buffer, int length, sockaddr* from, int* fromLength,
                             int flags) {
  if (!IsOpen()) {
    WSASetLastError(WSAENOTSOCK);
    return SOCKET_ERROR;
  }
  return recvfrom(socket_, static_cast<char*>(buffer), length, flags, from, fromLength);
}

bool AsyncSocket::SetSockOpt(int option, const void* value, int length, int level) {
  if (!IsOpen()) {
    WSASetLastError(WSAENOTSOCK);
    return false;
  }
  return setsockopt(socket_, level, option, static_cast<const char*>(value), length) == 0;
}

void AsyncSocket::Close() {
  if (!IsOpen()) return;
  layer_->Unregister(this, socket_);
  closesocket(socket_);
  socket_ = INVALID_SOCKET;
  layer_ = nullptr;
}

std::uint16_t AsyncSocket::LocalPort() const {
  if (!IsOpen()) return 0;
  sockaddr_in local{};
  int length = sizeof local;
  if (getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) == SOCKET_ERROR) return 0;
  return ntohs(local.sin_port);
}

void AsyncSocket::OnReceive(int) {}
void AsyncSocket::OnSend(int) {}
void AsyncSocket::OnOutOfBandData(int) {}
void AsyncSocket::OnAccept(int) {}
void AsyncSocket::OnConnect(int) {}
void AsyncSocket::OnClose(int) {}
