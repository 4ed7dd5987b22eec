// The Kernel port on Windows: named events, pulses, waits and threads.

#include <gtest/gtest.h>

#include <atomic>

#include "platform/win32/win32_kernel.h"
#include "platform/win32/windows_api.h"
#include "win32_test_support.h"

namespace fenra::win32 {
namespace {

TEST(Win32KernelTest, ANamedEventIsSharedAndKeepsItsState) {
  Win32Kernel kernel;
  const std::string name = "Global\\FENRA_TEST_" + std::to_string(GetCurrentProcessId());
  Handle first = kernel.CreateEvent(true, false, name);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(kernel.GetLastError(), 0u);
  ASSERT_TRUE(kernel.SetEvent(first));

  // A second create opens the same event: auto-reset and non-signalled as
  // asked are ignored.
  Handle second = kernel.CreateEvent(false, false, name);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(kernel.GetLastError(), static_cast<uint32_t>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(kernel.WaitForSingleObject(second, 0), win::kWaitObject0);
  EXPECT_EQ(kernel.WaitForSingleObject(second, 0), win::kWaitObject0);  // still manual-reset
  ASSERT_TRUE(kernel.ResetEvent(second));
  EXPECT_EQ(kernel.WaitForSingleObject(first, 0), win::kWaitTimeout);
}

TEST(Win32KernelTest, PulseReleasesEveryWaiterAndLeavesTheEventReset) {
  Win32Kernel kernel;
  Handle event = kernel.CreateEvent(true, false);
  std::atomic<int> released{0};
  auto waiter = [&] {
    uint32_t result = kernel.WaitForSingleObject(event, 10000);
    if (result == win::kWaitObject0) ++released;
    return result;
  };
  Handle threads[] = {kernel.CreateThread(waiter, "waiter 1"), kernel.CreateThread(waiter, "waiter 2")};
  // A pulse releases only the threads waiting at that instant; pulse until
  // both have been caught waiting.
  for (int i = 0; i < 500 && released < 2; ++i) {
    kernel.Sleep(10);
    ASSERT_TRUE(kernel.PulseEvent(event));
  }
  EXPECT_EQ(kernel.WaitForMultipleObjects(threads, true, 10000), win::kWaitObject0);
  EXPECT_EQ(released, 2);
  EXPECT_EQ(kernel.WaitForSingleObject(event, 0), win::kWaitTimeout);

  // With nobody waiting a pulse only resets.
  ASSERT_TRUE(kernel.SetEvent(event));
  ASSERT_TRUE(kernel.PulseEvent(event));
  EXPECT_EQ(kernel.WaitForSingleObject(event, 0), win::kWaitTimeout);
}

TEST(Win32KernelTest, ThreadsEndWithTheirResultAndBadHandlesFailWaits) {
  Win32Kernel kernel;
  Handle go = kernel.CreateEvent(true, false);
  Handle thread = kernel.CreateThread([&] { return kernel.WaitForSingleObject(go, 10000) == 0 ? 42u : 1u; });
  uint32_t code = 0;
  ASSERT_TRUE(kernel.GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, win::kStillActive);
  const Handle both[] = {kernel.CreateEvent(true, false), thread};
  kernel.SetEvent(go);
  EXPECT_EQ(kernel.WaitForMultipleObjects(both, false, 10000), win::kWaitObject0 + 1);
  ASSERT_TRUE(kernel.GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);

  EXPECT_EQ(kernel.WaitForSingleObject(Handle(), 0), win::kWaitFailed);
  EXPECT_EQ(kernel.GetLastError(), win::kErrorInvalidHandle);
  // The same object twice fails the wait; Wine does not check and waits.
  const Handle twice[] = {go, go};
  EXPECT_EQ(kernel.WaitForMultipleObjects(twice, false, 0),
            testing::RunningOnWine() ? win::kWaitObject0 : win::kWaitFailed);
}

}  // namespace
}  // namespace fenra::win32
