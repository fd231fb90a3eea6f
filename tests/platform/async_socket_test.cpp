// The asynchronous socket layer under Wine: events reach the right object,
// and never one that was closed or destroyed.
#include "platform/async_socket.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "net/socket_test_support.h"

using test_support::PumpUntil;
using test_support::Sender;

namespace {
const auto* const kWinsock =
    ::testing::AddGlobalTestEnvironment(new test_support::SocketLayerEnvironment);

// Records its events and reads each datagram it is told of.
class RecordingSocket : public AsyncSocket {
 public:
  explicit RecordingSocket(std::vector<std::string>& log, bool closeOnReceive = false)
      : log_(log), closeOnReceive_(closeOnReceive) {}
  int sends = 0;

 protected:
  void OnReceive(int error) override {
    char buffer[64];
    const int n = ReceiveFrom(buffer, sizeof buffer, nullptr, nullptr);
    log_.push_back(n >= 0 ? std::string(buffer, n) : "error " + std::to_string(error));
    if (closeOnReceive_) Close();
  }
  void OnSend(int) override { ++sends; }

 private:
  std::vector<std::string>& log_;
  bool closeOnReceive_;
};

// Takes the socket events off this thread's queue, without dispatching
// them, until `reads` read events are among them.
std::vector<MSG> HoldQueuedEventsUntilReads(int reads) {
  std::vector<MSG> held;
  int seen = 0;
  const ULONGLONG deadline = GetTickCount64() + 5000;
  for (;;) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      if (m.message < WM_APP || m.message > 0xBFFF) {
        DispatchMessageA(&m);
        continue;
      }
      held.push_back(m);
      if (WSAGETSELECTEVENT(m.lParam) == FD_READ) ++seen;
    }
    const ULONGLONG now = GetTickCount64();
    if (seen >= reads || now >= deadline) break;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
  EXPECT_EQ(seen, reads);
  return held;
}
}  // namespace

TEST(AsyncSocket, EachSocketGetsItsOwnEvents) {
  std::vector<std::string> logA, logB;
  RecordingSocket a(logA), b(logB);
  ASSERT_TRUE(a.Create(0, SOCK_DGRAM, "127.0.0.1"));
  ASSERT_TRUE(b.Create(0));
  Sender sender;
  sender.Send("to a", 4, "127.0.0.1", a.LocalPort());
  sender.Send("to b", 4, "127.0.0.1", b.LocalPort());
  sender.Send("to a again", 10, "127.0.0.1", a.LocalPort());
  ASSERT_TRUE(PumpUntil([&] { return logA.size() == 2 && logB.size() == 1; }));
  EXPECT_EQ(logA, (std::vector<std::string>{"to a", "to a again"}));
  EXPECT_EQ(logB, (std::vector<std::string>{"to b"}));
  // A datagram socket is writable at once: the write event was registered too.
  EXPECT_GE(a.sends, 1);
  EXPECT_GE(b.sends, 1);
}

TEST(AsyncSocket, NoEventReachesASocketAfterItIsClosedOrDestroyed) {
  std::vector<std::string> logOld, logClosed, logNew;
  auto old = std::make_unique<RecordingSocket>(logOld);
  RecordingSocket closed(logClosed);
  ASSERT_TRUE(old->Create(0, SOCK_DGRAM, "127.0.0.1"));
  ASSERT_TRUE(closed.Create(0, SOCK_DGRAM, "127.0.0.1"));
  Sender sender;
  sender.Send("late", 4, "127.0.0.1", old->LocalPort());
  sender.Send("late", 4, "127.0.0.1", closed.LocalPort());
  // Hold back the queued events until both read events are among them, close
  // both sockets, then queue the events again as they were.
  const std::vector<MSG> held = HoldQueuedEventsUntilReads(2);
  ASSERT_FALSE(held.empty());
  const SOCKET oldHandle = old->Handle();
  old.reset();
  closed.Close();
  EXPECT_FALSE(closed.IsOpen());
  // A new socket may get the old handle; the old events are still not its.
  RecordingSocket fresh(logNew);
  ASSERT_TRUE(fresh.Create(0, SOCK_DGRAM, "127.0.0.1"));
  for (const MSG& m : held) PostMessageA(m.hwnd, m.message, m.wParam, m.lParam);
  sender.Send("new", 3, "127.0.0.1", fresh.LocalPort());
  ASSERT_TRUE(PumpUntil([&] { return !logNew.empty(); }));
  EXPECT_TRUE(logOld.empty());
  EXPECT_TRUE(logClosed.empty());
  EXPECT_EQ(closed.sends, 0);
  EXPECT_EQ(logNew, (std::vector<std::string>{"new"}));
  if (fresh.Handle() == oldHandle) std::printf("note: the new socket reused the old handle\n");
}

TEST(AsyncSocket, AHandlerMayCloseItsOwnSocket) {
  std::vector<std::string> log;
  RecordingSocket socket(log, /*closeOnReceive=*/true);
  ASSERT_TRUE(socket.Create(0, SOCK_DGRAM, "127.0.0.1"));
  const std::uint16_t port = socket.LocalPort();
  Sender sender;
  sender.Send("one", 3, "127.0.0.1", port);
  sender.Send("two", 3, "127.0.0.1", port);
  ASSERT_TRUE(PumpUntil([&] { return !log.empty(); }));
  PumpUntil([] { return false; }, 0);
  EXPECT_EQ(log, (std::vector<std::string>{"one"}));
  EXPECT_FALSE(socket.IsOpen());
}

TEST(AsyncSocket, CallsOnAClosedSocketFailCleanly) {
  AsyncSocket socket;
  EXPECT_EQ(socket.SendTo("x", 1, nullptr, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  char buffer[4];
  EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, nullptr, nullptr), SOCKET_ERROR);
  const BOOL on = TRUE;
  EXPECT_FALSE(socket.SetSockOpt(SO_BROADCAST, &on, sizeof on));
  EXPECT_EQ(socket.LocalPort(), 0);
  socket.Close();
  EXPECT_FALSE(socket.Create(70000));  // not a port
  EXPECT_FALSE(socket.IsOpen());
}
