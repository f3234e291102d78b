// The registry of live instances: tickets, calls only while alive, and a destroy that waits for a call in
// flight.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "plugin/LiveInstances.h"

namespace {

OfxImageEffectHandle fakeHandle(std::uintptr_t n) { return reinterpret_cast<OfxImageEffectHandle>(n * 64); }

// A ticket is made on registration or on demand; calls reach only the instance of that ticket, so a reused
// handle does not revive an earlier job.
TEST(LiveInstances, CallsReachOnlyTheLiveInstanceOfTheirTicket) {
  const OfxImageEffectHandle fx = fakeHandle(1001);
  const std::uint64_t first = kesto::live_instance_ticket(fx);  // registers it
  EXPECT_NE(0u, first);
  EXPECT_TRUE(kesto::instance_lives(fx, first));
  EXPECT_EQ(first, kesto::live_instance_ticket(fx));
  int calls = 0;
  EXPECT_TRUE(kesto::with_live_instance(fx, first, [&] { ++calls; }));
  kesto::forget_live_instance(fx);
  EXPECT_FALSE(kesto::instance_lives(fx, first));
  EXPECT_FALSE(kesto::with_live_instance(fx, first, [&] { ++calls; }));
  const std::uint64_t second = kesto::register_live_instance(fx);
  EXPECT_NE(first, second);
  EXPECT_FALSE(kesto::with_live_instance(fx, first, [&] { ++calls; })) << "an earlier job reached the new instance";
  EXPECT_TRUE(kesto::with_live_instance(fx, second, [&] { ++calls; }));
  EXPECT_EQ(2, calls);
  kesto::forget_live_instance(fx);
}

TEST(LiveInstances, ForgettingWaitsForACallInFlight) {
  const OfxImageEffectHandle fx = fakeHandle(1004);
  const std::uint64_t ticket = kesto::register_live_instance(fx);
  std::promise<void> entered;
  std::atomic<bool> callFinished{false};
  std::thread worker([&] {
    kesto::with_live_instance(fx, ticket, [&] {
      entered.set_value();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      callFinished = true;
    });
  });
  entered.get_future().wait();
  kesto::forget_live_instance(fx);
  EXPECT_TRUE(callFinished.load()) << "the destroy returned while the worker was still calling the host";
  worker.join();
  EXPECT_FALSE(kesto::instance_lives(fx, ticket));
}

}  // namespace
