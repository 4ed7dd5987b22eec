// The Kernel port on Windows beyond its contract suite: an event in the
// global namespace, as the hot-plug event is, and a pulse that releases
// every waiter.

#include <gtest/gtest.h>

#include <atomic>

#include "platform/win32/win32_kernel.h"
#include "platform/win32/windows_api.h"

namespace fenra::win32 {
namespace {

TEST(Win32KernelTest, AnEventInTheGlobalNamespaceIsShared) {
  Win32Kernel kernel;
  const std::string name = "Global\\FENRA_TEST_" + std::to_string(GetCurrentProcessId());
  Handle first = kernel.CreateEvent(true, false, name);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(kernel.GetLastError(), 0u);
  Handle second = kernel.CreateEvent(true, false, name);
  EXPECT_EQ(kernel.GetLastError(), win::kErrorAlreadyExists);
  ASSERT_TRUE(kernel.SetEvent(first));
  EXPECT_EQ(kernel.WaitForSingleObject(second, 0), win::kWaitObject0);
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
}

}  // namespace
}  // namespace fenra::win32
