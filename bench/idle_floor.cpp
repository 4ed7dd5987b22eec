// The floor of the real-time service's idle cost: nothing but its polling
// shape, with bare timed waits on condition variables. Three threads wake
// every 100 ms (the pulse managers), two every second (the timer manager,
// and the simulated machine's watch of hardware.json): 32 wake-ups a
// second. Runs until killed; bench/idle_cost.sh measures it beside fenra.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

int main() {
  std::mutex mutex;
  std::condition_variable never;
  std::vector<std::thread> pollers;
  for (int period_ms : {100, 100, 100, 1000, 1000}) {
    pollers.emplace_back([&mutex, &never, period_ms] {
      std::unique_lock lock(mutex);
      for (;;) never.wait_for(lock, std::chrono::milliseconds(period_ms));
    });
  }
  for (std::thread& poller : pollers) poller.join();
}
