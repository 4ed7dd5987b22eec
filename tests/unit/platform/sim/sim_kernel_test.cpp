#include "platform/sim/sim_kernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace fenra::sim {
namespace {

// A virtual-time kernel driven by the test's thread. That its sleeps and
// time-outs move the clock exactly, at no real cost, the times below (a
// sleep of 90 s among them) and every scenario's pin.
struct VirtualKernel {
  explicit VirtualKernel(KernelOptions options = {}) : kernel(With(options)) {}
  static KernelOptions With(KernelOptions options) {
    options.virtual_time = true;
    return options;
  }
  SimKernel kernel;
  SimKernel::Attachment attachment = kernel.Attach("test");
};

class SimKernelVirtual : public ::testing::Test {
 protected:
  VirtualKernel v;
  SimKernel& kernel = v.kernel;
};

// Records what happened at which virtual time. On virtual time only one
// thread runs at a time, so no lock is needed.
struct Log {
  explicit Log(SimKernel& k) : kernel(k) {}
  void Add(const std::string& what) { entries.push_back(what + "@" + std::to_string(kernel.ElapsedMs())); }
  SimKernel& kernel;
  std::vector<std::string> entries;
};

TEST_F(SimKernelVirtual, ReadyThreadsRunOneAtATimeInTheOrderTheyBecameReady) {
  Log log(kernel);
  Handle manual = kernel.CreateEvent(true, false);
  std::vector<Handle> threads;
  for (const char* name : {"a", "b", "c"}) {
    threads.push_back(kernel.CreateThread(
        [&, name] {
          log.Add(std::string(name) + " waits");
          kernel.WaitForSingleObject(manual, 5000);
          log.Add(std::string(name) + " released");
          kernel.Sleep(100);  // equal deadlines: in the order they were set
          log.Add(std::string(name) + " slept");
          return 0u;
        },
        name));
  }
  kernel.Sleep(10);
  log.Add("pulse");
  kernel.PulseEvent(manual);
  Handle late = kernel.CreateThread([&] { return kernel.WaitForSingleObject(manual, 5000); });
  threads.push_back(late);
  EXPECT_EQ(kernel.WaitForMultipleObjects(threads, true, win::kInfinite), win::kWaitObject0);
  EXPECT_EQ(log.entries,
            (std::vector<std::string>{"a waits@0", "b waits@0", "c waits@0", "pulse@10", "a released@10",
                                      "b released@10", "c released@10", "a slept@110", "b slept@110",
                                      "c slept@110"}));
  uint32_t code = 0;
  kernel.GetExitCodeThread(late, &code);
  EXPECT_EQ(code, win::kWaitTimeout);  // came after the pulse
  EXPECT_EQ(kernel.WaitForSingleObject(manual, 0), win::kWaitTimeout);
  EXPECT_EQ(kernel.PulseCount(manual), 1u);
}

// Many threads, pulses, time-outs and auto-reset events: the trace of who
// ran when must be the same on every run.
std::string StressRun() {
  VirtualKernel v;
  SimKernel& kernel = v.kernel;
  std::string trace;
  Handle manual = kernel.CreateEvent(true, false);
  Handle automatic = kernel.CreateEvent(false, false);
  std::vector<Handle> threads;
  for (uint32_t i = 0; i < 24; ++i) {
    threads.push_back(kernel.CreateThread([&, i] {
      for (uint32_t round = 0; round < 40; ++round) {
        Handle both[] = {manual, automatic};
        uint32_t result = kernel.WaitForMultipleObjects(both, false, 7 + (i * 13 + round) % 50);
        trace += std::to_string(i) + ":" + std::to_string(result) + "@" + std::to_string(kernel.ElapsedMs()) + " ";
        if ((i + round) % 5 == 0) kernel.PulseEvent(manual);
        if ((i * round) % 7 == 3) kernel.SetEvent(automatic);
      }
      return i;
    }));
  }
  kernel.WaitForMultipleObjects(std::span(threads).first(24), true, win::kInfinite);
  return trace + std::to_string(kernel.ElapsedMs());
}

TEST_F(SimKernelVirtual, AStressRunGivesTheSameResultEveryTime) {
  const std::string first = StressRun();
  for (int run = 1; run < 20; ++run) ASSERT_EQ(StressRun(), first) << "run " << run;
}

TEST_F(SimKernelVirtual, TheClocksWrapAndFollowTheCalendar) {
  VirtualKernel wrapping({.start_tick = 0xFFFFFFFFu - 499, .start_local_time = {2024, 2, 0, 28, 23, 59, 59, 500}});
  uint32_t before = wrapping.kernel.TimeGetTime();
  wrapping.kernel.Sleep(1000);
  uint32_t after = wrapping.kernel.TimeGetTime();
  EXPECT_EQ(after, 500u);
  EXPECT_EQ(static_cast<int32_t>(after - before), 1000);
  LocalTime t = wrapping.kernel.GetLocalTime();
  EXPECT_EQ(std::vector<int>({t.year, t.month, t.day, t.day_of_week, t.hour, t.minute, t.second, t.milliseconds}),
            std::vector<int>({2024, 2, 29, 4, 0, 0, 0, 500}));  // a leap day, a Thursday
}

TEST_F(SimKernelVirtual, HandlesOfAnotherKernelOrKindFail) {
  EXPECT_FALSE(kernel.SetEvent(kernel.CreateMutex(false)));
  EXPECT_EQ(kernel.GetLastError(), win::kErrorInvalidHandle);
  SimKernel other({.virtual_time = true});
  EXPECT_EQ(kernel.WaitForSingleObject(other.CreateEvent(true, true), 0), win::kWaitFailed);
}

// One creation fails on purpose, the n-th overall or the n-th of a name,
// and only that one; the creations around it go ahead.
TEST_F(SimKernelVirtual, TheNthThreadCreationOrTheNthOfANameFails) {
  const auto created = [&](const std::string& name) {
    return kernel.CreateThread([] { return 0u; }, name) != nullptr;
  };
  kernel.FailThreadCreation(2, win::kErrorNotEnoughMemory);
  EXPECT_EQ(std::vector<bool>({created("a"), created("b"), created("c")}), std::vector<bool>({true, false, true}));
  EXPECT_EQ(kernel.GetLastError(), win::kErrorNotEnoughMemory);
  kernel.FailThreadCreation(2, win::kErrorInvalidParameter, "w");
  EXPECT_EQ(std::vector<bool>({created("w"), created("x"), created("w"), created("w")}),
            std::vector<bool>({true, true, false, true}));
  EXPECT_EQ(kernel.GetLastError(), win::kErrorInvalidParameter);
  kernel.Sleep(0);
}

// A waiting thread's handles may be variables that another thread
// reassigns meanwhile: the wait keeps the objects it began with (AddressSanitizer
// sees a wait that does not).
TEST_F(SimKernelVirtual, AWaitKeepsItsObjectsWhenTheHandlesItWasGivenChange) {
  Handle one = kernel.CreateEvent(true, false);
  std::vector<Handle> several = {kernel.CreateEvent(false, false), kernel.CreateEvent(true, false)};
  uint32_t results[2] = {};
  Handle waiters[] = {
      kernel.CreateThread([&] { return results[0] = kernel.WaitForSingleObject(one, 1000); }),
      kernel.CreateThread([&] { return results[1] = kernel.WaitForMultipleObjects(several, false, 2000); }),
  };
  kernel.Sleep(10);
  one = kernel.CreateEvent(true, true);  // the last handles of the waited objects go
  several = {kernel.CreateEvent(true, true), kernel.CreateEvent(true, true)};
  kernel.WaitForMultipleObjects(waiters, true, win::kInfinite);
  EXPECT_EQ(results[0], win::kWaitTimeout);
  EXPECT_EQ(results[1], win::kWaitTimeout);
  EXPECT_EQ(kernel.ElapsedMs(), 2000u);
}

TEST_F(SimKernelVirtual, TwoKernelsOnOneThreadKeepTheirOwnClocks) {
  VirtualKernel& first = v;
  VirtualKernel second;
  Handle ticker = second.kernel.CreateThread([&] {
    second.kernel.Sleep(50);
    return 0u;
  });
  first.kernel.Sleep(10);
  EXPECT_EQ(first.kernel.ElapsedMs(), 10u);
  EXPECT_EQ(second.kernel.WaitForSingleObject(ticker, win::kInfinite), win::kWaitObject0);
  EXPECT_EQ(second.kernel.ElapsedMs(), 50u);
  first.kernel.Sleep(10);
  EXPECT_EQ(first.kernel.ElapsedMs(), 20u);
}

TEST_F(SimKernelVirtual, AFiberSuspendedInACatchBlockKeepsItsException) {
  Handle go = kernel.CreateEvent(true, false);
  std::string rethrown;
  Handle handler = kernel.CreateThread([&] {
    try {
      throw std::runtime_error("first");
    } catch (...) {
      kernel.WaitForSingleObject(go, win::kInfinite);  // another fiber throws meanwhile
      try {
        throw;
      } catch (const std::runtime_error& e) {
        rethrown = e.what();
      }
    }
    return 0u;
  });
  Handle other = kernel.CreateThread([&] {
    try {
      throw std::logic_error("second");
    } catch (const std::logic_error&) {
      kernel.SetEvent(go);
      kernel.Sleep(1);
    }
    return 0u;
  });
  Handle both[] = {handler, other};
  kernel.WaitForMultipleObjects(both, true, win::kInfinite);
  EXPECT_EQ(rethrown, "first");
}

TEST_F(SimKernelVirtual, InputsRunOnTheVirtualClockInTheOrderScheduled) {
  Log log(kernel);
  Handle event = kernel.CreateEvent(false, false);
  Handle waiter = kernel.CreateThread([&] {
    while (kernel.WaitForSingleObject(event, win::kInfinite) == win::kWaitObject0) log.Add("woken");
    return 0u;
  });
  kernel.At(2500, [&] { log.Add("second"); });
  kernel.At(1000, [&] {
    log.Add("first");
    kernel.SetEvent(event);
  });
  kernel.At(2500, [&] { log.Add("third"); });
  kernel.RunUntil(4000);
  EXPECT_EQ(kernel.ElapsedMs(), 4000u);
  EXPECT_EQ(log.entries, (std::vector<std::string>{"first@1000", "woken@1000", "second@2500", "third@2500"}));
  EXPECT_EQ(kernel.WaitForSingleObject(waiter, 0), win::kWaitTimeout);
}

TEST_F(SimKernelVirtual, ThreadsThatOnlyIdleInTimedSlicesAreQuiescent) {
  Handle stop = kernel.CreateEvent(true, false, "stop");
  Handle never = kernel.CreateEvent(true, false, "never");
  Handle slicer = kernel.CreateThread(
      [&] {
        while (kernel.WaitForSingleObject(stop, 60000) == win::kWaitTimeout) {
        }
        return 0u;
      },
      "slicer");
  Handle sleeper = kernel.CreateThread(
      [&] {
        kernel.Sleep(3000);
        kernel.TimeGetTime();  // a clock read is work, not idling
        kernel.Sleep(90000);
        return kernel.WaitForSingleObject(never, win::kInfinite);
      },
      "sleeper");
  EXPECT_TRUE(kernel.RunUntilQuiescent());
  // The sleeper ran up to its endless wait; the slicer's slice at 60 s,
  // after the sleeper's clock read, showed that it only idles.
  EXPECT_EQ(kernel.ElapsedMs(), 93000u);
  EXPECT_TRUE(kernel.RunUntilQuiescent(kernel.ElapsedMs() + 1));
  Handle busy = kernel.CreateThread([&] {
    for (int i = 0; i < 100; ++i) kernel.Sleep(static_cast<uint32_t>(1000 + kernel.TimeGetTime() % 2));
    return 0u;
  });
  EXPECT_FALSE(kernel.RunUntilQuiescent(kernel.ElapsedMs() + 10000));  // a clock reader is busy
  EXPECT_EQ(kernel.ElapsedMs(), 103000u);
  EXPECT_EQ(kernel.WaitForSingleObject(busy, win::kInfinite), win::kWaitObject0);

  std::vector<std::string> reports;
  kernel.SetStallHandler([&](const std::string& report) {
    reports.push_back(report);
    kernel.SetEvent(never);  // a rescue from outside the simulation
  });
  EXPECT_EQ(kernel.WaitForSingleObject(sleeper, win::kInfinite), win::kWaitObject0);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("'sleeper': waits on event 'never'\n"), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("'slicer': waits on event 'stop' until "), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find(" ms (idling)\n"), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("'test': waits on thread 'sleeper'"), std::string::npos) << reports[0];
  kernel.SetEvent(stop);
  EXPECT_EQ(kernel.WaitForSingleObject(slicer, win::kInfinite), win::kWaitObject0);
}

TEST(SimKernelVirtualDeath, BlockingWithoutAnAttachmentOrPollingForeverIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        SimKernel kernel({.virtual_time = true});
        kernel.Sleep(10);
      },
      "not attached");
  EXPECT_DEATH(
      {
        VirtualKernel v({.poll_limit = 1000});
        Handle event = v.kernel.CreateEvent(true, false);
        Handle poller = v.kernel.CreateThread(
            [&] {
              while (v.kernel.WaitForSingleObject(event, 0) == win::kWaitTimeout) {
              }
              return 0u;
            },
            "poller");
        v.kernel.WaitForSingleObject(poller, win::kInfinite);
      },
      "'poller' made 1001 kernel calls without ever blocking");
}

TEST_F(SimKernelVirtual, AnEndingAttachmentAbandonsItsMutexes) {
  SimKernel unattached({.virtual_time = true});
  Handle mutex = unattached.CreateMutex(false);
  {
    SimKernel::Attachment first = unattached.Attach("first");
    EXPECT_EQ(unattached.WaitForSingleObject(mutex, 0), win::kWaitObject0);
  }
  SimKernel::Attachment second = unattached.Attach("second");
  EXPECT_EQ(unattached.WaitForSingleObject(mutex, 0), win::kWaitAbandoned0);
}

// What a process's threads did, kept as the process's own state.
struct ProcessLog {
  explicit ProcessLog(bool* r) : released(r) {}
  ~ProcessLog() { *released = true; }
  std::vector<std::string> lines;
  bool* released;
};

TEST_F(SimKernelVirtual, AnEndingProcessParksItsThreadsAndThenReleasesItsState) {
  Handle forever = kernel.CreateEvent(true, false);
  bool released = false;
  auto log = std::make_shared<ProcessLog>(&released);
  ProcessLog* raw = log.get();
  Handle worker;
  Handle process = kernel.CreateProcess(
      "service",
      [this, forever, raw, &worker] {
        worker = kernel.CreateThread(
            [this, forever, raw] {
              raw->lines.push_back("worker waits");
              kernel.WaitForSingleObject(forever, 10000);
              raw->lines.push_back("worker returned into the core");  // must never happen
              return 0u;
            },
            "worker");
        kernel.Sleep(5000);
        raw->lines.push_back("main ends");
        return 3u;
      },
      std::move(log));
  EXPECT_EQ(kernel.WaitForSingleObject(process, win::kInfinite), win::kWaitObject0);
  EXPECT_EQ(kernel.ElapsedMs(), 5000u);
  EXPECT_TRUE(released);
  uint32_t code = 0;
  ASSERT_TRUE(kernel.GetExitCodeProcess(process, &code));
  EXPECT_EQ(code, 3u);
  // The worker's handle is signalled with the process's code.
  EXPECT_EQ(kernel.WaitForSingleObject(worker, 0), win::kWaitObject0);
  ASSERT_TRUE(kernel.GetExitCodeThread(worker, &code));
  EXPECT_EQ(code, 3u);
  kernel.Sleep(20000);  // past the worker's time-out: it stays parked

  bool second_released = false;
  auto second_log = std::make_shared<ProcessLog>(&second_released);
  Handle second = kernel.CreateProcess(
      "service",
      [this] {
        kernel.Sleep(1000000);
        return 0u;
      },
      second_log);
  second_log.reset();
  kernel.Sleep(1000);
  EXPECT_FALSE(second_released);
  EXPECT_TRUE(kernel.TerminateProcess(second, 9));
  EXPECT_TRUE(second_released);
  ASSERT_TRUE(kernel.GetExitCodeProcess(second, &code));
  EXPECT_EQ(code, 9u);
}

TEST(SimKernelReal, RealTimeIsNeverQuiescentAndOutsideThreadsDetachAtTheirEnd) {
  SimKernel kernel;
  EXPECT_FALSE(kernel.RunUntilQuiescent());

  Handle mutex = kernel.CreateMutex(false);
  std::thread([&] { kernel.WaitForSingleObject(mutex, 0); }).join();
  EXPECT_EQ(kernel.WaitForSingleObject(mutex, 1000), win::kWaitAbandoned0);
}

TEST(SimKernelReal, AThreadOfAnEndedProcessParksAtItsNextKernelCall) {
  SimKernel kernel;
  Handle go = kernel.CreateEvent(true, false);
  Handle parked = kernel.CreateEvent(true, false);
  std::atomic<int> steps{0};
  bool released = false;
  auto log = std::make_shared<ProcessLog>(&released);
  Handle process = kernel.CreateProcess(
      "service",
      [&] {
        kernel.CreateThread([&] {
          kernel.WaitForSingleObject(go, win::kInfinite);
          ++steps;
          kernel.SetEvent(parked);  // parks here: the process has ended
          ++steps;
          return 0u;
        });
        return 0u;
      },
      std::move(log));
  EXPECT_EQ(kernel.WaitForSingleObject(process, win::kInfinite), win::kWaitObject0);
  kernel.SetEvent(go);  // too late: the thread was parked at its wait
  EXPECT_EQ(kernel.WaitForSingleObject(parked, 100), win::kWaitTimeout);
  EXPECT_EQ(steps.load(), 0);
  kernel.Shutdown();
  EXPECT_TRUE(released);
}

TEST(SimKernelReal, AProcessEndsWhenItsLastRunningThreadHasParked) {
  SimKernel kernel;
  Handle started = kernel.CreateEvent(true, false);
  std::atomic<bool> leave{false};
  std::atomic<int> writes{0}, after{0};
  Handle process = kernel.CreateProcess("service", [&] {
    kernel.SetEvent(started);
    while (!leave) ++writes;  // no kernel call: cannot be stopped here
    kernel.Sleep(1);          // parks
    ++after;
    return 0u;
  });
  kernel.WaitForSingleObject(started, win::kInfinite);
  EXPECT_TRUE(kernel.TerminateProcess(process, 7));
  EXPECT_EQ(kernel.WaitForSingleObject(process, 50), win::kWaitTimeout);
  leave = true;
  EXPECT_EQ(kernel.WaitForSingleObject(process, win::kInfinite), win::kWaitObject0);
  int ended_at = writes;
  kernel.Sleep(20);
  EXPECT_EQ(writes.load(), ended_at);
  EXPECT_EQ(after.load(), 0);
  uint32_t code = 0;
  EXPECT_TRUE(kernel.GetExitCodeProcess(process, &code));
  EXPECT_EQ(code, 7u);
}

}  // namespace
}  // namespace fenra::sim
