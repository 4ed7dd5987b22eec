#include "platform/sim/sim_kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace fenra::sim {
namespace {

// Records what happened at which virtual time, from any thread.
class Log {
 public:
  explicit Log(SimKernel& kernel) : kernel_(kernel) {}
  void Add(const std::string& what) {
    std::lock_guard lock(mutex_);
    entries_.push_back(what + "@" + std::to_string(kernel_.ElapsedMs()));
  }
  std::vector<std::string> entries() {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  SimKernel& kernel_;
  std::mutex mutex_;
  std::vector<std::string> entries_;
};

TEST(SimKernelVirtual, SleepAndTimeOutsMoveTheClockExactly) {
  SimKernel kernel({.virtual_time = true, .start_tick = 1000});
  kernel.Sleep(20 * 60 * 1000);  // a 20-minute start-up delay costs no real time
  EXPECT_EQ(kernel.ElapsedMs(), 20u * 60 * 1000);
  EXPECT_EQ(kernel.TimeGetTime(), 1000u + 20 * 60 * 1000);

  Handle event = kernel.CreateEvent(true, false);
  EXPECT_EQ(kernel.WaitForSingleObject(event, 1500), win::kWaitTimeout);
  EXPECT_EQ(kernel.ElapsedMs(), 20u * 60 * 1000 + 1500);
  EXPECT_EQ(kernel.WaitForSingleObject(event, 0), win::kWaitTimeout);
  EXPECT_EQ(kernel.ElapsedMs(), 20u * 60 * 1000 + 1500);
}

TEST(SimKernelVirtual, AWakeUpByAnotherThreadHappensAtTheWakersTime) {
  SimKernel kernel({.virtual_time = true});
  Log log(kernel);
  Handle event = kernel.CreateEvent(true, false);
  Handle waiter = kernel.CreateThread([&] {
    uint32_t result = kernel.WaitForSingleObject(event, 60000);
    log.Add("woken " + std::to_string(result));
    return 0u;
  });
  kernel.Sleep(300);
  log.Add("set");
  kernel.SetEvent(event);
  EXPECT_EQ(kernel.WaitForSingleObject(waiter, win::kInfinite), win::kWaitObject0);
  EXPECT_EQ(log.entries(), (std::vector<std::string>{"set@300", "woken 0@300"}));
}

TEST(SimKernelVirtual, EqualDeadlinesWakeInTheOrderTheWaitsBegan) {
  SimKernel kernel({.virtual_time = true});
  Log log(kernel);
  std::vector<Handle> threads;
  for (int i = 0; i < 5; ++i) {
    threads.push_back(kernel.CreateThread([&, i] {
      kernel.Sleep(static_cast<uint32_t>(100 * i));  // start the 1 s sleeps in order 0..4
      kernel.Sleep(1000 - static_cast<uint32_t>(100 * i));
      log.Add("t" + std::to_string(i));
      return 0u;
    }));
  }
  EXPECT_EQ(kernel.WaitForMultipleObjects(threads, true, win::kInfinite), win::kWaitObject0);
  EXPECT_EQ(log.entries(),
            (std::vector<std::string>{"t0@1000", "t1@1000", "t2@1000", "t3@1000", "t4@1000"}));
}

TEST(SimKernelVirtual, PulseReleasesExactlyTheThreadsWaitingThen) {
  SimKernel kernel({.virtual_time = true});
  Log log(kernel);
  Handle manual = kernel.CreateEvent(true, false);
  auto waiter = [&](const char* name) {
    return kernel.CreateThread([&, name] {
      log.Add(std::string(name) + " " + std::to_string(kernel.WaitForSingleObject(manual, 5000)));
      return 0u;
    });
  };
  EXPECT_TRUE(kernel.PulseEvent(manual));  // nobody waits: no effect
  Handle a = waiter("a");
  Handle b = waiter("b");
  kernel.Sleep(10);  // both are blocked now
  kernel.PulseEvent(manual);
  Handle c = waiter("c");  // comes after the pulse and times out
  Handle all[] = {a, b, c};
  kernel.WaitForMultipleObjects(all, true, win::kInfinite);
  // a and b are released together and race; only c's place is fixed.
  std::vector<std::string> entries = log.entries();
  std::sort(entries.begin(), entries.end() - 1);
  EXPECT_EQ(entries, (std::vector<std::string>{"a 0@10", "b 0@10", "c 258@5010"}));
  EXPECT_EQ(kernel.WaitForSingleObject(manual, 0), win::kWaitTimeout);
  EXPECT_EQ(kernel.PulseCount(manual), 2u);

  Handle automatic = kernel.CreateEvent(false, false);
  std::atomic<int> released{0};
  std::vector<Handle> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.push_back(kernel.CreateThread([&] {
      if (kernel.WaitForSingleObject(automatic, 1000) == win::kWaitObject0) ++released;
      return 0u;
    }));
  kernel.Sleep(10);
  kernel.PulseEvent(automatic);
  kernel.WaitForMultipleObjects(waiters, true, win::kInfinite);
  EXPECT_EQ(released.load(), 1);
}

TEST(SimKernelVirtual, MultiWaitReportsTheLowestSignalledIndex) {
  SimKernel kernel({.virtual_time = true});
  Handle events[] = {kernel.CreateEvent(true, false), kernel.CreateEvent(true, false),
                     kernel.CreateEvent(false, false)};
  kernel.SetEvent(events[2]);
  kernel.SetEvent(events[1]);
  EXPECT_EQ(kernel.WaitForMultipleObjects(events, false, 0), win::kWaitObject0 + 1);
  kernel.ResetEvent(events[1]);
  EXPECT_EQ(kernel.WaitForMultipleObjects(events, false, 0), win::kWaitObject0 + 2);
  // The auto-reset event was consumed by that wait.
  EXPECT_EQ(kernel.WaitForMultipleObjects(events, false, 100), win::kWaitTimeout);
  kernel.SetEvent(events[0]);
  kernel.SetEvent(events[2]);
  EXPECT_EQ(kernel.WaitForMultipleObjects(events, true, 100), win::kWaitTimeout);
  kernel.SetEvent(events[1]);
  EXPECT_EQ(kernel.WaitForMultipleObjects(events, true, 100), win::kWaitObject0);
  EXPECT_EQ(kernel.WaitForSingleObject(events[2], 0), win::kWaitTimeout);
}

TEST(SimKernelVirtual, ThreadsReportStillActiveThenTheirExitCode) {
  SimKernel kernel({.virtual_time = true});
  Handle go = kernel.CreateEvent(true, false);
  Handle thread = kernel.CreateThread([&] {
    kernel.WaitForSingleObject(go, win::kInfinite);
    return 7u;
  });
  uint32_t code = 0;
  ASSERT_TRUE(kernel.GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, win::kStillActive);
  EXPECT_EQ(kernel.WaitForSingleObject(thread, 1000), win::kWaitTimeout);
  kernel.SetEvent(go);
  EXPECT_EQ(kernel.WaitForSingleObject(thread, win::kInfinite), win::kWaitObject0);
  ASSERT_TRUE(kernel.GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
}

TEST(SimKernelVirtual, TheTickCounterWrapsAndDifferencesStayRight) {
  SimKernel kernel({.virtual_time = true, .start_tick = 0xFFFFFFFFu - 499});
  uint32_t before = kernel.TimeGetTime();
  kernel.Sleep(1000);
  uint32_t after = kernel.TimeGetTime();
  EXPECT_LT(after, before);
  EXPECT_EQ(after, 500u);
  EXPECT_EQ(static_cast<int32_t>(after - before), 1000);
}

TEST(SimKernelVirtual, LocalTimeFollowsVirtualTimeAcrossMonthEnds) {
  SimKernel kernel({.virtual_time = true, .start_local_time = {2024, 2, 0, 28, 23, 59, 59, 500}});
  kernel.Sleep(1000);
  LocalTime t = kernel.GetLocalTime();
  EXPECT_EQ(t.year, 2024);
  EXPECT_EQ(t.month, 2);
  EXPECT_EQ(t.day, 29);  // leap day
  EXPECT_EQ(t.day_of_week, 4);  // Thursday
  EXPECT_EQ(t.hour, 0);
  EXPECT_EQ(t.minute, 0);
  EXPECT_EQ(t.second, 0);
  EXPECT_EQ(t.milliseconds, 500);
}

TEST(SimKernelVirtual, MutexesCountRecursionAndReportAbandonment) {
  SimKernel kernel({.virtual_time = true});
  Handle mutex = kernel.CreateMutex(false);
  EXPECT_EQ(kernel.WaitForSingleObject(mutex, 0), win::kWaitObject0);
  EXPECT_EQ(kernel.WaitForSingleObject(mutex, 0), win::kWaitObject0);
  std::atomic<uint32_t> other{0};
  Handle contender = kernel.CreateThread([&] {
    other = kernel.WaitForSingleObject(mutex, win::kInfinite);
    EXPECT_TRUE(kernel.ReleaseMutex(mutex));
    return 0u;
  });
  EXPECT_TRUE(kernel.ReleaseMutex(mutex));
  EXPECT_EQ(kernel.WaitForSingleObject(contender, 100), win::kWaitTimeout);  // still held once
  EXPECT_TRUE(kernel.ReleaseMutex(mutex));
  kernel.WaitForSingleObject(contender, win::kInfinite);
  EXPECT_EQ(other.load(), win::kWaitObject0);
  EXPECT_FALSE(kernel.ReleaseMutex(mutex));
  EXPECT_EQ(kernel.GetLastError(), win::kErrorNotOwner);

  Handle owner = kernel.CreateThread([&] { return kernel.WaitForSingleObject(mutex, 0); });
  kernel.WaitForSingleObject(owner, win::kInfinite);
  EXPECT_EQ(kernel.WaitForSingleObject(mutex, 0), win::kWaitAbandoned0);
}

TEST(SimKernelVirtual, NamedEventsAreSharedAndInvalidHandlesFail) {
  SimKernel kernel({.virtual_time = true});
  Handle first = kernel.CreateEvent(true, false, "Global\\X");
  EXPECT_EQ(kernel.GetLastError(), win::kErrorSuccess);
  Handle second = kernel.CreateEvent(false, true, "Global\\X");
  EXPECT_EQ(kernel.GetLastError(), win::kErrorAlreadyExists);
  EXPECT_EQ(first, second);
  EXPECT_EQ(kernel.WaitForSingleObject(first, 0), win::kWaitTimeout);  // keeps its own state

  EXPECT_EQ(kernel.WaitForSingleObject(nullptr, 10), win::kWaitFailed);
  EXPECT_EQ(kernel.GetLastError(), win::kErrorInvalidHandle);
  EXPECT_FALSE(kernel.SetEvent(kernel.CreateMutex(false)));
  SimKernel other({.virtual_time = true});
  EXPECT_EQ(kernel.WaitForSingleObject(other.CreateEvent(true, true), 0), win::kWaitFailed);
}

TEST(SimKernelVirtual, QuiescenceAndStalls) {
  SimKernel kernel({.virtual_time = true});
  Handle never = kernel.CreateEvent(true, false);
  Handle sleeper = kernel.CreateThread([&] {
    kernel.Sleep(3000);
    return kernel.WaitForSingleObject(never, win::kInfinite);
  });
  EXPECT_TRUE(kernel.RunUntilQuiescent());
  EXPECT_EQ(kernel.ElapsedMs(), 3000u);  // ran the sleeper up to its endless wait

  std::atomic<int> stalls{0};
  kernel.SetStallHandler([&] {
    ++stalls;
    kernel.SetEvent(never);  // a rescue from outside the simulation
  });
  EXPECT_EQ(kernel.WaitForSingleObject(sleeper, win::kInfinite), win::kWaitObject0);
  EXPECT_EQ(stalls.load(), 1);
}

TEST(SimKernelReal, WaitsUseTheRealClock) {
  SimKernel kernel;
  Handle event = kernel.CreateEvent(true, false);
  EXPECT_EQ(kernel.WaitForSingleObject(event, 5), win::kWaitTimeout);
  Handle setter = kernel.CreateThread([&] { return kernel.SetEvent(event) ? 0u : 1u; });
  EXPECT_EQ(kernel.WaitForSingleObject(event, win::kInfinite), win::kWaitObject0);
  EXPECT_EQ(kernel.WaitForSingleObject(setter, win::kInfinite), win::kWaitObject0);
  EXPECT_FALSE(kernel.RunUntilQuiescent());
}

}  // namespace
}  // namespace fenra::sim
