// The caps on payload memory held for clients, and the reuse of buffers.
#include <gtest/gtest.h>

#include <cstring>

#include "memory.hpp"

namespace emu::proxy {
namespace {

constexpr std::size_t MiB = 1u << 20;

TEST(Budget, RefusesWhatWouldPassTheClientCap) {
  Budget budget(4 * MiB, 64 * MiB);
  auto account = budget.open();
  auto first = account->take(3 * MiB);
  ASSERT_TRUE(first);
  EXPECT_FALSE(account->take(2 * MiB));
  EXPECT_TRUE(account->take(1 * MiB));
  EXPECT_EQ(account->held(), 4 * MiB);
  EXPECT_EQ(budget.used(), 4 * MiB);
}

TEST(Budget, RefusesWhatWouldPassTheTotalAcrossClients) {
  Budget budget(4 * MiB, 6 * MiB);
  auto a = budget.open(), b = budget.open();
  auto held = a->take(4 * MiB);
  ASSERT_TRUE(held);
  EXPECT_FALSE(b->take(3 * MiB));
  EXPECT_TRUE(b->take(2 * MiB));
}

TEST(Budget, EverythingIsGivenBackWhenBuffersAndAccountsGo) {
  Budget budget(8 * MiB, 8 * MiB);
  {
    auto account = budget.open();
    auto buffer = account->take(2 * MiB);
    ASSERT_TRUE(buffer);
    Buffer grown;
    ASSERT_TRUE(account->grow(grown, MiB));
    ASSERT_TRUE(account->grow(grown, 3 * MiB));
    EXPECT_EQ(budget.used(), 5 * MiB);
  }
  EXPECT_EQ(budget.used(), 0u);
}

TEST(Account, ReusesWhatWasGivenBackWithoutChargingAgain) {
  Budget budget(4 * MiB, 4 * MiB);
  auto account = budget.open();
  std::uint8_t* first;
  {
    auto buffer = account->take(3 * MiB);
    ASSERT_TRUE(buffer);
    first = buffer->data();
    std::memset(first, 7, 3 * MiB);
  }
  EXPECT_EQ(account->held(), 3 * MiB);  // kept for the next request
  auto again = account->take(MiB);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->data(), first);
  EXPECT_EQ(again->data()[0], 7);  // reused memory is not cleared again
  EXPECT_EQ(account->held(), 3 * MiB);
  EXPECT_FALSE(account->reuse(MiB));
}

TEST(Account, KeptBuffersOfAnyClientMakeRoomForNewOnes) {
  Budget budget(4 * MiB, 5 * MiB);
  auto idle = budget.open(), busy = budget.open();
  { auto kept = idle->take(4 * MiB); }
  EXPECT_EQ(budget.used(), 4 * MiB);
  auto buffer = busy->take(3 * MiB);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(idle->held(), 0u);
  EXPECT_EQ(budget.used(), 3 * MiB);
}

TEST(Account, NewMemoryReadsAsZerosAndGrowingKeepsTheContents) {
  Budget budget(8 * MiB, 8 * MiB);
  auto account = budget.open();
  Buffer buffer;
  ASSERT_TRUE(account->grow(buffer, 1000));
  for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(buffer.data()[i], 0);
  std::memset(buffer.data(), 0x5a, 1000);
  ASSERT_TRUE(account->grow(buffer, 2 * MiB));
  EXPECT_EQ(buffer.capacity(), 2 * MiB);
  EXPECT_EQ(buffer.data()[999], 0x5a);
  EXPECT_EQ(buffer.data()[1000], 0);
  EXPECT_EQ(buffer.data()[2 * MiB - 1], 0);
  EXPECT_FALSE(account->grow(buffer, 9 * MiB));
  EXPECT_EQ(buffer.capacity(), 2 * MiB);  // a refused growth leaves the buffer as it was
  EXPECT_EQ(account->held(), 2 * MiB);
}

TEST(Budget, ChargesWithoutBuffersCountAgainstTheCapsUntilReleased) {
  Budget budget(4 * MiB, 6 * MiB);
  auto a = budget.open(), b = budget.open();
  { auto kept = a->take(2 * MiB); }  // kept for reuse, given up when room is needed
  auto model = a->hold(3 * MiB);
  ASSERT_TRUE(model);
  EXPECT_EQ(a->held(), 3 * MiB);
  EXPECT_FALSE(a->hold(2 * MiB));
  EXPECT_FALSE(b->hold(4 * MiB));
  model->reset();
  EXPECT_EQ(budget.used(), 0u);
  EXPECT_TRUE(b->hold(4 * MiB));
}

}  // namespace
}  // namespace emu::proxy
