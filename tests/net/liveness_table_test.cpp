#include "net/liveness_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "net/local_sender.h"

namespace {
// A table on a clock the test sets by hand; counts how often it is read.
struct ClockedTable {
  std::uint32_t now = 1000;
  int reads = 0;
  LivenessTable table{[this] {
    ++reads;
    return now;
  }};
};

using Ids = std::vector<std::uint32_t>;
}  // namespace

TEST(LivenessTable, AppendsNewIdsInFirstHeardOrderAndRefreshesKnownOnes) {
  ClockedTable t;
  t.table.Heard(30);
  t.now = 1001;
  t.table.Heard(10);
  t.now = 1002;
  t.table.Heard(20);
  t.now = 1005;
  t.table.Heard(10);  // refresh: time changes, order and size do not
  EXPECT_EQ(t.table.ProcessIds(), (Ids{30, 10, 20}));
  EXPECT_EQ(t.table.Times(), (Ids{1000, 1005, 1002}));
}

TEST(LivenessTable, AgeEqualToTheIntervalIsNotStaleOneSecondMoreIs) {
  ClockedTable t;
  t.table.Heard(42);
  t.now = 1060;
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 0u);
  EXPECT_EQ(t.table.ProcessIds(), (Ids{42}));
  t.now = 1061;
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 42u);
  EXPECT_TRUE(t.table.ProcessIds().empty());
  EXPECT_TRUE(t.table.Times().empty());
}

TEST(LivenessTable, AfterAWakeUpEverySilenceCountsFromThenInTheSameOrder) {
  ClockedTable t;
  t.table.Heard(7);
  t.now = 1030;
  t.table.Heard(8);
  t.now = 1500;  // long silent, both
  t.table.RestartSilences();
  EXPECT_EQ(t.table.Times(), (Ids{1500, 1500}));
  t.now = 1560;
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 0u);  // a whole interval to speak again
  t.now = 1561;
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 7u);
}

TEST(LivenessTable, TakesTheEarliestHeardStaleEntryOnePerCall) {
  ClockedTable t;
  t.table.Heard(7);
  t.now = 1010;
  t.table.Heard(8);
  t.now = 1020;
  t.table.Heard(9);
  t.now = 1030;
  t.table.Heard(8);
  t.table.Heard(5);
  t.now = 1050;  // ages: 7 is 50, 8 is 20, 9 is 30, 5 is 20; interval 25
  EXPECT_EQ(t.table.TakeStaleProcessId(25), 7u);
  EXPECT_EQ(t.table.TakeStaleProcessId(25), 9u);
  EXPECT_EQ(t.table.TakeStaleProcessId(25), 0u);
  EXPECT_EQ(t.table.ProcessIds(), (Ids{8, 5}));
  EXPECT_EQ(t.table.Times(), (Ids{1030, 1030}));
}

TEST(LivenessTable, IndexFollowsTakesAndForgetsSoLaterHeartbeatsRefreshTheRightEntry) {
  ClockedTable t;
  for (std::uint32_t id = 1; id <= 6; ++id) t.table.Heard(id);
  t.now = 1100;
  for (std::uint32_t id = 3; id <= 6; ++id) t.table.Heard(id);
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 1u);
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 2u);
  t.table.Forget(4);
  t.table.Forget(99);  // unknown: nothing changes
  // 3, 5 and 6 moved down; refreshing them must touch their own rows.
  t.now = 1150;
  t.table.Heard(5);
  t.table.Heard(1);  // a removed id comes back at the end
  EXPECT_EQ(t.table.ProcessIds(), (Ids{3, 5, 6, 1}));
  EXPECT_EQ(t.table.Times(), (Ids{1100, 1150, 1100, 1150}));
  t.now = 1161;
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 3u);
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 6u);
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 0u);
}

TEST(LivenessTable, IdZeroIsStoredAndItsTakeReturnsZero) {
  ClockedTable t;
  t.table.Heard(0);
  t.table.Heard(0);
  EXPECT_EQ(t.table.ProcessIds(), (Ids{0}));
  t.table.Heard(77);
  t.now = 1100;
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 0u);  // id 0 removed, reads as none
  EXPECT_EQ(t.table.ProcessIds(), (Ids{77}));
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 77u);
}

TEST(LivenessTable, EmptyTableAnswersZeroWithoutReadingTheClock) {
  ClockedTable t;
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 0u);
  EXPECT_EQ(t.reads, 0);
  t.table.Heard(1);
  t.now = 2000;
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 1u);
  const int readsBefore = t.reads;
  EXPECT_EQ(t.table.TakeStaleProcessId(60), 0u);
  EXPECT_EQ(t.reads, readsBefore);
}

TEST(LivenessTable, ATimeLaterThanNowIsNeverStale) {
  ClockedTable t;
  t.now = 5000;
  t.table.Heard(11);
  t.now = 4000;  // the clock went back
  EXPECT_EQ(t.table.TakeStaleProcessId(15), 0u);
  EXPECT_EQ(t.table.ProcessIds(), (Ids{11}));
  t.now = 5015;
  EXPECT_EQ(t.table.TakeStaleProcessId(15), 0u);
  t.now = 5016;
  EXPECT_EQ(t.table.TakeStaleProcessId(15), 11u);
}

TEST(LivenessTable, ExtremeClockValues) {
  ClockedTable t;
  t.now = 0;
  t.table.Heard(1);
  t.now = UINT32_MAX;  // the largest age there is: stale for any interval
  EXPECT_EQ(t.table.TakeStaleProcessId(INT32_MAX), 1u);
  t.table.Heard(2);
  EXPECT_EQ(t.table.TakeStaleProcessId(0), 0u);  // age 0 is not above 0
}

TEST(LocalSender, LoopbackRangeAndOwnAddressesOnly) {
  const std::vector<std::uint32_t> own = {0xC0A80105 /*192.168.1.5*/, 0x0A000002 /*10.0.0.2*/};
  EXPECT_TRUE(IsLocalSender(0x7F000001, own));   // 127.0.0.1
  EXPECT_TRUE(IsLocalSender(0x7F000002, {}));    // 127.0.0.2
  EXPECT_TRUE(IsLocalSender(0x7FFFFFFF, {}));    // 127.255.255.255
  EXPECT_TRUE(IsLocalSender(0xC0A80105, own));
  EXPECT_TRUE(IsLocalSender(0x0A000002, own));
  EXPECT_FALSE(IsLocalSender(0xC0A80106, own));  // a neighbour on the same net
  EXPECT_FALSE(IsLocalSender(0x8000007F, own));  // 127.0.0.128 in the wrong byte order
  EXPECT_FALSE(IsLocalSender(0x7E000001, own));  // 126.0.0.1
  EXPECT_FALSE(IsLocalSender(0x80000001, own));  // 128.0.0.1
  EXPECT_FALSE(IsLocalSender(0x00000000, own));
}

TEST(LocalSender, AnUnknownSenderRereadsTheAddressesAtMostOnceEveryFewSeconds) {
  std::uint32_t now = 500;
  using Reading = std::optional<std::vector<std::uint32_t>>;
  std::vector<Reading> readings = {std::vector<std::uint32_t>{0x0A000002},
                                   std::vector<std::uint32_t>{0x0A000002, 0xC0A80105}, std::nullopt,
                                   std::vector<std::uint32_t>{}};
  int queries = 0;
  LocalAddresses addresses([&] { return readings[static_cast<std::size_t>(queries++)]; },
                           [&] { return now; });
  addresses.Set(std::vector<std::uint32_t>{0x0A000002}, {0x0A0000FE});  // a bound address stays pinned
  EXPECT_TRUE(addresses.IsLocal(0x0A000002));
  EXPECT_TRUE(addresses.IsLocal(0x0A0000FE));
  now += LocalAddresses::kRefreshSeconds - 1;
  EXPECT_FALSE(addresses.IsLocal(0xC0A80105));  // too soon to ask again
  EXPECT_EQ(queries, 0);
  now += 1;
  EXPECT_FALSE(addresses.IsLocal(0xC0A80105));  // asked: not there yet
  EXPECT_FALSE(addresses.IsLocal(0x08080808));  // another host right after: no new query
  EXPECT_EQ(queries, 1);
  now += LocalAddresses::kRefreshSeconds;
  EXPECT_TRUE(addresses.IsLocal(0xC0A80105));  // the address the machine gained
  EXPECT_TRUE(addresses.IsLocal(0x0A0000FE));
  EXPECT_TRUE(addresses.IsLocal(0x7F000001));
  EXPECT_EQ(queries, 2);
  // A reading that fails keeps the last good list, and waits its turn like
  // any other; one that succeeds with no address is taken.
  now += LocalAddresses::kRefreshSeconds;
  EXPECT_FALSE(addresses.IsLocal(0x08080808));
  EXPECT_EQ(queries, 3);
  EXPECT_TRUE(addresses.IsLocal(0xC0A80105));
  EXPECT_TRUE(addresses.IsLocal(0x0A000002));
  EXPECT_EQ(queries, 3);
  now += LocalAddresses::kRefreshSeconds;
  EXPECT_FALSE(addresses.IsLocal(0x08080808));
  EXPECT_EQ(queries, 4);
  EXPECT_FALSE(addresses.IsLocal(0xC0A80105));
  EXPECT_TRUE(addresses.IsLocal(0x0A0000FE));  // still pinned
}
