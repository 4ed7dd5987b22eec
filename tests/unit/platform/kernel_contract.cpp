#include "unit/platform/kernel_contract.h"

#include <atomic>
#include <tuple>
#include <string>
#include <vector>

#include "platform/win_values.h"

namespace fenra::testing {

void KernelContractTest::Join(const Handle& thread) {
  ASSERT_EQ(k().WaitForSingleObject(thread, 60000), win::kWaitObject0);
}

namespace {

constexpr uint32_t kInfinite = win::kInfinite;

TEST_P(KernelContractTest, EventsKeepOrResetTheirStateByKind) {
  Handle manual = k().CreateEvent(true, false);
  Handle automatic = k().CreateEvent(false, true);
  ASSERT_TRUE(manual && automatic);
  EXPECT_EQ(k().WaitForSingleObject(manual, 0), win::kWaitTimeout);
  EXPECT_TRUE(k().SetEvent(manual));
  EXPECT_EQ(k().WaitForSingleObject(manual, 0), win::kWaitObject0);
  EXPECT_EQ(k().WaitForSingleObject(manual, 0), win::kWaitObject0);
  EXPECT_TRUE(k().ResetEvent(manual));
  EXPECT_EQ(k().WaitForSingleObject(manual, 0), win::kWaitTimeout);

  EXPECT_EQ(k().WaitForSingleObject(automatic, 0), win::kWaitObject0);  // initially set, consumed
  EXPECT_EQ(k().WaitForSingleObject(automatic, 0), win::kWaitTimeout);

  // A pulse with nobody waiting leaves the event non-signalled.
  EXPECT_TRUE(k().SetEvent(manual));
  EXPECT_TRUE(k().PulseEvent(manual));
  EXPECT_EQ(k().WaitForSingleObject(manual, 0), win::kWaitTimeout);
}

TEST_P(KernelContractTest, WaitsAndSleepsTakeTheirTimeAndTheClocksMoveForward) {
  Handle event = k().CreateEvent(true, false);
  uint32_t before = k().TimeGetTime();
  LocalTime start = k().GetLocalTime();
  EXPECT_EQ(k().WaitForSingleObject(event, 50), win::kWaitTimeout);
  k().Sleep(50);
  // Windows may end a wait up to one clock tick early.
  EXPECT_GE(static_cast<int32_t>(k().TimeGetTime() - before), 100 - 16);
  LocalTime now = k().GetLocalTime();
  EXPECT_GE(now.year, 2000);
  EXPECT_TRUE(now.month >= 1 && now.month <= 12 && now.day >= 1 && now.day <= 31 && now.day_of_week <= 6);
  EXPECT_GE(std::make_tuple(now.year, now.month, now.day, now.hour, now.minute, now.second, now.milliseconds),
            std::make_tuple(start.year, start.month, start.day, start.hour, start.minute, start.second,
                            start.milliseconds));
}

TEST_P(KernelContractTest, MultiWaitsReportTheLowestSignalledIndexOrAll) {
  Handle events[] = {k().CreateEvent(true, false), k().CreateEvent(true, false), k().CreateEvent(false, false)};
  k().SetEvent(events[2]);
  k().SetEvent(events[1]);
  EXPECT_EQ(k().WaitForMultipleObjects(events, false, 0), win::kWaitObject0 + 1);
  k().ResetEvent(events[1]);
  EXPECT_EQ(k().WaitForMultipleObjects(events, false, 0), win::kWaitObject0 + 2);
  EXPECT_EQ(k().WaitForMultipleObjects(events, false, 10), win::kWaitTimeout);  // the auto-reset one was taken
  k().SetEvent(events[0]);
  k().SetEvent(events[2]);
  EXPECT_EQ(k().WaitForMultipleObjects(events, true, 10), win::kWaitTimeout);
  k().SetEvent(events[1]);
  EXPECT_EQ(k().WaitForMultipleObjects(events, true, 10), win::kWaitObject0);
  EXPECT_EQ(k().WaitForSingleObject(events[2], 0), win::kWaitTimeout);
}

TEST_P(KernelContractTest, BadWaitsFailWithTheirErrors) {
  Handle event = k().CreateEvent(true, true);
  Handle twice[] = {event, k().CreateEvent(true, false), event};
  EXPECT_EQ(k().WaitForMultipleObjects(twice, false, 0), win::kWaitFailed);
  EXPECT_EQ(k().GetLastError(), win::kErrorInvalidParameter);
  EXPECT_EQ(k().WaitForSingleObject(nullptr, 0), win::kWaitFailed);
  EXPECT_EQ(k().GetLastError(), win::kErrorInvalidHandle);
  EXPECT_FALSE(k().SetEvent(nullptr));
}

TEST_P(KernelContractTest, NamedEventsAreOpenedWithTheirOwnTypeAndState) {
  const std::string name = "FenraContract-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
  Handle first = k().CreateEvent(true, false, name);
  ASSERT_TRUE(first);
  EXPECT_EQ(k().GetLastError(), win::kErrorSuccess);
  Handle second = k().CreateEvent(false, true, name);
  ASSERT_TRUE(second);
  EXPECT_EQ(k().GetLastError(), win::kErrorAlreadyExists);
  EXPECT_EQ(k().WaitForSingleObject(second, 0), win::kWaitTimeout);  // not signalled by the second create
  k().SetEvent(first);
  EXPECT_EQ(k().WaitForSingleObject(second, 0), win::kWaitObject0);
  EXPECT_EQ(k().WaitForSingleObject(second, 0), win::kWaitObject0);  // still manual-reset
}

TEST_P(KernelContractTest, ThreadsAreStillActiveUntilTheyEndWithTheirCode) {
  Handle go = k().CreateEvent(true, false);
  Handle thread = k().CreateThread([&] {
    k().WaitForSingleObject(go, kInfinite);
    return 7u;
  });
  ASSERT_TRUE(thread);
  uint32_t code = 0;
  ASSERT_TRUE(k().GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, win::kStillActive);
  EXPECT_EQ(k().WaitForSingleObject(thread, 10), win::kWaitTimeout);
  k().SetEvent(go);
  Join(thread);
  ASSERT_TRUE(k().GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
}

TEST_P(KernelContractTest, EachThreadHasItsOwnLastError) {
  Handle set = k().CreateEvent(true, false);
  Handle check = k().CreateEvent(true, false);
  std::atomic<uint32_t> seen{0};
  Handle thread = k().CreateThread([&] {
    k().SetLastError(5);
    k().SetEvent(set);
    k().WaitForSingleObject(check, kInfinite);
    seen = k().GetLastError();
    return 0u;
  });
  k().WaitForSingleObject(set, kInfinite);
  k().SetLastError(87);
  k().SetEvent(check);
  Join(thread);
  EXPECT_EQ(seen.load(), 5u);
  EXPECT_EQ(k().GetLastError(), 87u);
}

TEST_P(KernelContractTest, MutexesCountRecursionBelongToOneThreadAndAreAbandonedAtItsEnd) {
  Handle mutex = k().CreateMutex(false);
  EXPECT_EQ(k().WaitForSingleObject(mutex, 0), win::kWaitObject0);
  EXPECT_EQ(k().WaitForSingleObject(mutex, 0), win::kWaitObject0);
  std::atomic<uint32_t> tries[2] = {0, 0};
  Handle tried = k().CreateEvent(true, false);
  Handle released = k().CreateEvent(true, false);
  Handle contender = k().CreateThread([&] {
    tries[0] = k().WaitForSingleObject(mutex, 0);  // held by the test's thread
    uint32_t not_owner = k().ReleaseMutex(mutex) ? 0 : k().GetLastError();
    k().SetEvent(tried);
    k().WaitForSingleObject(released, kInfinite);
    tries[1] = k().WaitForSingleObject(mutex, 60000);
    return not_owner;  // ends owning the mutex
  });
  k().WaitForSingleObject(tried, kInfinite);
  EXPECT_TRUE(k().ReleaseMutex(mutex));
  EXPECT_TRUE(k().ReleaseMutex(mutex));
  EXPECT_FALSE(k().ReleaseMutex(mutex));
  EXPECT_EQ(k().GetLastError(), win::kErrorNotOwner);
  k().SetEvent(released);
  Join(contender);
  uint32_t code = 0;
  k().GetExitCodeThread(contender, &code);
  EXPECT_EQ(code, win::kErrorNotOwner);
  EXPECT_EQ(tries[0].load(), win::kWaitTimeout);
  EXPECT_EQ(tries[1].load(), win::kWaitObject0);
  EXPECT_EQ(k().WaitForSingleObject(mutex, 0), win::kWaitAbandoned0);
  EXPECT_TRUE(k().ReleaseMutex(mutex));
}

}  // namespace
}  // namespace fenra::testing
