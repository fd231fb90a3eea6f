// The heartbeat listener on real sockets under Wine, driven by a message pump.
#include "net/heartbeat_socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "net/socket_test_support.h"

using test_support::PumpUntil;
using test_support::Sender;
using Ids = std::vector<std::uint32_t>;

namespace {
const auto* const kWinsock =
    ::testing::AddGlobalTestEnvironment(new test_support::SocketLayerEnvironment);

constexpr std::uint32_t kMarker = 0x4D41524B;

// A listener with its table on a clock that stands still unless moved.
struct Listener {
  std::uint32_t now = 500;
  LivenessTable table{[this] { return now; }};
  HeartbeatSocket socket{table};

  bool Has(std::uint32_t id) const {
    const Ids& ids = table.ProcessIds();
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  }
  // Sends the marker after whatever `sender` sent before and pumps until it
  // is in the table, so everything sent earlier has been handled too.
  bool Settle(Sender& sender, const char* address = "127.0.0.1", std::uint32_t marker = kMarker) {
    sender.Heartbeat(marker, address, socket.LocalPort());
    return PumpUntil([this, marker] { return Has(marker); });
  }
};
}  // namespace

TEST(HeartbeatSocket, FourByteDatagramsEnterTheTableAndRefreshesAddNothing) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("", 0));
  const std::uint16_t port = l.socket.LocalPort();
  ASSERT_NE(port, 0);
  Sender sender;
  sender.Heartbeat(1234, "127.0.0.1", port);
  const unsigned char littleEndian[4] = {0x01, 0x02, 0x03, 0x04};
  sender.Send(littleEndian, 4, "127.0.0.1", port);
  ASSERT_TRUE(PumpUntil([&] { return l.table.ProcessIds().size() == 2; }));
  l.now = 510;
  sender.Heartbeat(1234, "127.0.0.1", port);
  ASSERT_TRUE(l.Settle(sender));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{1234, 0x04030201, kMarker}));
  EXPECT_EQ(l.table.Times(), (Ids{510, 500, 510}));
}

TEST(HeartbeatSocket, DatagramsOfAnyOtherLengthChangeNothing) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("", 0));
  Sender sender;
  const char bytes[8] = {1, 0, 0, 0, 2, 0, 0, 0};
  for (int length : {0, 3, 5, 8}) sender.Send(bytes, length, "127.0.0.1", l.socket.LocalPort());
  ASSERT_TRUE(l.Settle(sender));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{kMarker}));
}

TEST(HeartbeatSocket, AnyAddressListenerHearsLoopbackAndTheMachinesOwnAddress) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("", 0));
  Sender sender;
  sender.Heartbeat(7, "127.0.0.1", l.socket.LocalPort());
  ASSERT_TRUE(l.Settle(sender));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{7, kMarker}));
  // A datagram to one of the machine's own addresses comes from that address.
  if (l.socket.LocalAddresses().empty()) GTEST_SKIP() << "this machine has no non-loopback IPv4 address";
  in_addr own{};
  own.s_addr = htonl(l.socket.LocalAddresses().front());
  const std::string address = inet_ntoa(own);
  sender.Heartbeat(8, address.c_str(), l.socket.LocalPort());
  ASSERT_TRUE(PumpUntil([&] { return l.Has(8); })) << "nothing heard on " << address;
}

TEST(HeartbeatSocket, BoundListenerHearsOnlyDatagramsSentToItsAddress) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("127.0.0.1", 0));
  const std::uint16_t port = l.socket.LocalPort();
  Sender sender;
  sender.Heartbeat(41, "127.0.0.2", port);
  if (!l.socket.LocalAddresses().empty()) {
    in_addr own{};
    own.s_addr = htonl(l.socket.LocalAddresses().front());
    sender.Heartbeat(42, inet_ntoa(own), port);
  }
  sender.Heartbeat(43, "127.0.0.1", port);
  ASSERT_TRUE(l.Settle(sender));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{43, kMarker}));
}

bool UnderWine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(HeartbeatSocket, ListenerBoundToAnotherLoopbackAddress) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("127.0.0.2", 0)) << "error " << WSAGetLastError();
  const std::uint16_t port = l.socket.LocalPort();
  Sender sender;
  sender.Heartbeat(22, "127.0.0.2", port);
  ASSERT_TRUE(l.Settle(sender, "127.0.0.2"));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{22, kMarker}));
  if (UnderWine()) {
    GTEST_SKIP() << "Wine 8 binds a datagram socket on 127.0.0.2 (any address that is not "
                    "exactly an interface's) to all addresses, so here it hears 127.0.0.1 too";
  }
  // A plain socket on 127.0.0.1 and the same port proves that a datagram sent
  // there was delivered, just not to the listener.
  SOCKET other = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in otherAddress = test_support::Ipv4("127.0.0.1", port);
  ASSERT_EQ(bind(other, reinterpret_cast<const sockaddr*>(&otherAddress), sizeof otherAddress), 0)
      << "error " << WSAGetLastError();
  sender.Heartbeat(21, "127.0.0.1", port);
  ASSERT_TRUE(l.Settle(sender, "127.0.0.2", kMarker + 1));
  unsigned char bytes[8] = {};
  EXPECT_EQ(recv(other, reinterpret_cast<char*>(bytes), sizeof bytes, 0), 4);
  EXPECT_EQ(bytes[0], 21);
  closesocket(other);
  EXPECT_EQ(l.table.ProcessIds(), (Ids{22, kMarker, kMarker + 1}));
}

TEST(HeartbeatSocket, BadAddressOrTakenPortFailsAndLeavesNothingOpen) {
  LivenessTable table([] { return 0u; });
  // Not a dotted address, the one inet_addr cannot tell from failure, and a
  // well-formed address that is not this machine's.
  for (const char* address : {"abc", "localhost", "255.255.255.255", "198.51.100.77"}) {
    HeartbeatSocket listener(table);
    EXPECT_FALSE(listener.Open(address, 0)) << address;
    EXPECT_FALSE(listener.IsOpen()) << address;
  }
  // A port someone else holds.
  SOCKET holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in held = test_support::Ipv4("127.0.0.1", 0);
  ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&held), sizeof held), 0);
  int length = sizeof held;
  getsockname(holder, reinterpret_cast<sockaddr*>(&held), &length);
  const std::uint16_t port = ntohs(held.sin_port);
  HeartbeatSocket onAny(table);
  EXPECT_FALSE(onAny.Open("", port));
  HeartbeatSocket onSame(table);
  EXPECT_FALSE(onSame.Open("127.0.0.1", port));
  // Heartbeats to that port reach the holder; pumping finds nothing to crash on.
  Sender sender;
  sender.Heartbeat(5, "127.0.0.1", port);
  char bytes[4];
  EXPECT_EQ(recv(holder, bytes, sizeof bytes, 0), 4);
  PumpUntil([] { return false; }, 0);
  EXPECT_TRUE(table.ProcessIds().empty());
  closesocket(holder);
  // An open listener cannot be opened a second time.
  HeartbeatSocket twice(table);
  ASSERT_TRUE(twice.Open("", 0));
  EXPECT_FALSE(twice.Open("", 0));
  EXPECT_TRUE(twice.IsOpen());
}

TEST(HeartbeatSocket, PortZeroBindsAPortNoSenderIsTold) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("", 0));
  EXPECT_NE(l.socket.LocalPort(), 0);
  EXPECT_NE(l.socket.LocalPort(), 22225);
  Sender sender;
  sender.Heartbeat(9, "127.0.0.1", 22225);  // where a program sends by default
  ASSERT_TRUE(l.Settle(sender));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{kMarker}));
}

TEST(HeartbeatSocket, HeartbeatOfTheClientHeaderCarriesTheSendersProcessId) {
  Listener l;
  ASSERT_TRUE(l.socket.Open("", 0));
  const std::string command = "\"" + test_support::HelperPath("heartbeat_helper.exe") + "\" " +
                              std::to_string(l.socket.LocalPort());
  PROCESS_INFORMATION helper = test_support::StartProcess(command);
  const std::uint32_t helperId = helper.dwProcessId;
  ASSERT_NE(helperId, 0u);
  EXPECT_EQ(test_support::FinishProcess(helper), 0u);
  ASSERT_TRUE(PumpUntil([&] { return l.Has(helperId); }));
  EXPECT_EQ(l.table.ProcessIds(), (Ids{helperId}));
}
