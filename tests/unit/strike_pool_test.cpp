// The strike pool: threads reused across strikes, named while they strike,
// gone once idle, and never more of them, or more strikes, than the cap.
#include "lightning/strike_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/process_wide.h"
#include "support/threads.h"

using namespace NimbrelVR;

namespace {

using Clock = std::chrono::steady_clock;

// Pool threads may outlive a test's objects; like the plug-in's, the pool
// is never destroyed.
constexpr uint32_t kIdleMs = 1000;
ProcessWide<StrikePool> pool([] { return StrikePool(kIdleMs, 2); });

template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int Striking() { return testsupport::CountThreads("nb-strike") + testsupport::CountThreads("nb-chain"); }

}  // namespace

TEST(StrikePool, ReusesAWaitingThreadNamedForEachStrikeAndEndsItOnceIdle) {
  std::atomic<int> done{0};
  std::atomic<int> misnamed{0};
  for (int i = 0; i < 20; ++i) {
    const StrikeKind kind = i % 2 ? StrikeKind::Chain : StrikeKind::Single;
    const char* name = StrikeThreadName(kind);
    ASSERT_EQ(pool->Run(kind,
                        [&, name] {
                          misnamed += testsupport::CountThreads(name) != 1 || Striking() != 1;
                          ++done;
                        }),
              StrikePool::Launch::Started);
    ASSERT_TRUE(WaitUntil([&] { return done == i + 1 && pool->Busy() == 0; }));
  }
  EXPECT_EQ(misnamed, 0) << "a thread strikes under its kind's name, and only while it strikes";
  // One thread per kind at most; a thread of one kind takes the other only at the cap.
  EXPECT_LE(pool->Started(), 2);
  EXPECT_EQ(Striking(), 0) << "waiting threads carry the neutral name";
  EXPECT_TRUE(WaitUntil([] { return pool->Threads() == 0; })) << "idle threads end";
  const auto quiet = Clock::now();
  ASSERT_EQ(pool->Run(StrikeKind::Single, [] {}), StrikePool::Launch::Started);
  ASSERT_TRUE(WaitUntil([] { return pool->Busy() == 0; }));
  EXPECT_EQ(pool->Threads(), 1);
  EXPECT_TRUE(WaitUntil([] { return pool->Threads() == 0; }));
  EXPECT_GE(Clock::now() - quiet, std::chrono::milliseconds(kIdleMs)) << "not before the idle time";
}

TEST(StrikePool, HoldsStrikesAndThreadsToTheCapAndKeepsARefusedKindFromStriking) {
  std::atomic<bool> release{false};
  std::atomic<int> ran{0};
  auto hold = [&] {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++ran;
  };
  ASSERT_EQ(pool->Run(StrikeKind::Single, hold), StrikePool::Launch::Started);
  ASSERT_EQ(pool->Run(StrikeKind::Single, hold), StrikePool::Launch::Started);
  EXPECT_EQ(pool->Run(StrikeKind::Chain, hold), StrikePool::Launch::AtCap);
  EXPECT_EQ(pool->Busy(), 2);
  release = true;
  ASSERT_TRUE(WaitUntil([] { return pool->Busy() == 0; }));
  EXPECT_EQ(ran, 2);

  // Both threads wait as single-strike threads, at the cap of threads: a
  // chain borrows one, though no thread of its own could start.
  setenv("NIMBREL_REFUSE_THREADS", "nb-chain", 1);
  const long started = pool->Started();
  ASSERT_EQ(pool->Threads(), 2);
  EXPECT_EQ(pool->Run(StrikeKind::Chain, [&] { ++ran; }), StrikePool::Launch::Started);
  ASSERT_TRUE(WaitUntil([&] { return ran == 3 && pool->Busy() == 0; }));
  EXPECT_EQ(pool->Started(), started);
  // Below the cap it starts its own, and that is refused.
  ASSERT_TRUE(WaitUntil([] { return pool->Threads() == 0; }));
  EXPECT_EQ(pool->Run(StrikeKind::Chain, [&] { ++ran; }), StrikePool::Launch::NoThread);
  EXPECT_EQ(pool->Busy(), 0) << "a failed start gives its place back";
  EXPECT_EQ(pool->Threads(), 0);
  unsetenv("NIMBREL_REFUSE_THREADS");
  EXPECT_EQ(pool->Run(StrikeKind::Chain, [&] { ++ran; }), StrikePool::Launch::Started);
  EXPECT_TRUE(WaitUntil([&] { return ran == 4; }));
}
