// The exit notice on real sockets under Wine, received by the client header's
// listeners in this process and in helper processes.
#include "net/exit_notice_sender.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "morvastel_client.h"
#include "net/socket_test_support.h"

namespace {
const auto* const kWinsock =
    ::testing::AddGlobalTestEnvironment(new test_support::SocketLayerEnvironment);

struct Datagram {
  std::string payload;
  std::uint16_t fromPort = 0;
};

// Waits for one datagram on `socket`; `limitMs` only bounds a failing test.
bool Receive(SOCKET socket, Datagram& datagram, long limitMs = 5000) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval wait{limitMs / 1000, (limitMs % 1000) * 1000};
  if (select(0, &readable, nullptr, nullptr, &wait) != 1) return false;
  char buffer[64];
  sockaddr_in from{};
  int fromLength = sizeof from;
  const int n = recvfrom(socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                         &fromLength);
  if (n < 0) return false;
  datagram.payload.assign(buffer, n);
  datagram.fromPort = ntohs(from.sin_port);
  return true;
}

bool NothingQueued(SOCKET socket) {
  u_long queued = 1;
  return ioctlsocket(socket, FIONREAD, &queued) == 0 && queued == 0;
}

const std::string kNotice("sdc-exit", 8);

// The client header's listeners on both notice ports.
struct NoticeListeners {
  SOCKET first = morvastel_open_exit_listener(33333);
  SOCKET second = morvastel_open_exit_listener(33334);
  NoticeListeners() {
    EXPECT_NE(first, INVALID_SOCKET) << "error " << WSAGetLastError();
    EXPECT_NE(second, INVALID_SOCKET) << "error " << WSAGetLastError();
  }
  ~NoticeListeners() {
    closesocket(first);
    closesocket(second);
  }
};

// A helper process that listens on `port` with the client header and exits 0
// when the notice arrives. The constructor returns once it listens.
struct ListenerProcess {
  PROCESS_INFORMATION process{};
  explicit ListenerProcess(std::uint16_t port) {
    const std::string eventName =
        "morvastel-test-ready-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(port);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
    process = test_support::StartProcess("\"" + test_support::HelperPath("exit_listener_helper.exe") +
                                         "\" " + std::to_string(port) + " " + eventName);
    HANDLE both[2] = {ready, process.hProcess};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_OBJECT_0)
        << "the helper on port " << port << " did not start listening";
    CloseHandle(ready);
  }
  DWORD ExitCode() { return test_support::FinishProcess(process); }
};
}  // namespace

TEST(ExitNotice, FirstBroadcastCreatesTheSocketsAndSendsExactlyTheEightBytesToEachPort) {
  NoticeListeners listeners;
  ExitNoticeSender sender;
  EXPECT_EQ(sender.CreatedCount(), 0);
  sender.Broadcast();
  EXPECT_EQ(sender.CreatedCount(), 1);
  Datagram first, second;
  ASSERT_TRUE(Receive(listeners.first, first));
  ASSERT_TRUE(Receive(listeners.second, second));
  EXPECT_EQ(first.payload, kNotice);
  EXPECT_EQ(second.payload, kNotice);
  EXPECT_TRUE(NothingQueued(listeners.first));
  EXPECT_TRUE(NothingQueued(listeners.second));
}

TEST(ExitNotice, ServersInOtherProcessesGetItAndEachPortHasOneListener) {
  ListenerProcess first(33333), second(33334);
  // The port is taken: a second listener is refused instead of sharing it and
  // missing the notices that the first one gets.
  const SOCKET intruder = morvastel_open_exit_listener(33333);
  EXPECT_EQ(intruder, INVALID_SOCKET);
  if (intruder != INVALID_SOCKET) closesocket(intruder);
  ExitNoticeSender sender;
  sender.Broadcast();
  EXPECT_EQ(first.ExitCode(), 0u);
  EXPECT_EQ(second.ExitCode(), 0u);
}

TEST(ExitNotice, LaterBroadcastsSendAgainFromTheSameTwoSockets) {
  NoticeListeners listeners;
  ExitNoticeSender sender;
  std::vector<std::uint16_t> firstSources, secondSources;
  for (int round = 0; round < 3; ++round) {
    sender.Broadcast();
    Datagram first, second;
    ASSERT_TRUE(Receive(listeners.first, first)) << "round " << round;
    ASSERT_TRUE(Receive(listeners.second, second)) << "round " << round;
    EXPECT_EQ(first.payload, kNotice);
    EXPECT_EQ(second.payload, kNotice);
    firstSources.push_back(first.fromPort);
    secondSources.push_back(second.fromPort);
  }
  EXPECT_EQ(sender.CreatedCount(), 1);
  // Same source port every time: no socket was created after the first call.
  EXPECT_EQ(firstSources, std::vector<std::uint16_t>(3, firstSources[0]));
  EXPECT_EQ(secondSources, std::vector<std::uint16_t>(3, secondSources[0]));
  EXPECT_NE(firstSources[0], secondSources[0]);
}

TEST(ExitNotice, Port33333IsServedBeforePort33334) {
  // Two listeners cannot tell which datagram came first: both are queued by
  // the time Broadcast returns. A raw socket sees every UDP datagram this
  // machine receives, in the order the network stack delivers them, so the
  // notices' order on it is the order in which they were sent.
  SOCKET raw = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
  if (raw == INVALID_SOCKET) {
    GTEST_SKIP() << "no raw socket here (error " << WSAGetLastError()
                 << "; needs CAP_NET_RAW under Wine, administrator rights on Windows)";
  }
  const sockaddr_in any = test_support::Ipv4("0.0.0.0", 0);
  bind(raw, reinterpret_cast<const sockaddr*>(&any), sizeof any);
  NoticeListeners listeners;
  ExitNoticeSender sender;
  sender.Broadcast();
  std::vector<std::uint16_t> order;
  // Skip any other UDP traffic of the machine; stop after both notices.
  for (int seen = 0; order.size() < 2 && seen < 1000; ++seen) {
    Datagram packet;
    if (!Receive(raw, packet)) break;
    const auto* bytes = reinterpret_cast<const unsigned char*>(packet.payload.data());
    const std::size_t header = static_cast<std::size_t>(bytes[0] & 0x0F) * 4;
    if (packet.payload.size() != header + 8 + kNotice.size()) continue;
    if (packet.payload.compare(header + 8, kNotice.size(), kNotice) != 0) continue;
    order.push_back(static_cast<std::uint16_t>(bytes[header + 2] << 8 | bytes[header + 3]));
  }
  closesocket(raw);
  EXPECT_EQ(order, (std::vector<std::uint16_t>{33333, 33334}));
}
