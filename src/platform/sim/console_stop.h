#pragma once
// How the console front end turns Ctrl-C and SIGTERM into the service's
// stop. The first signal asks for a stop; a stop the service cannot take
// yet (it is still starting) is held and offered again until it is taken,
// never lost. The process keeps listening meanwhile, and a Ctrl-C after the
// first signal ends it at once, for a person whose stop hangs.

#include <csignal>
#include <functional>

namespace fenra::sim {

class ConsoleStop {
 public:
  static constexpr int kInterruptedExitCode = 130;  // 128 + SIGINT, as shells report it

  // `deliver` hands the stop to the service; true when it was taken.
  explicit ConsoleStop(std::function<bool()> deliver) : deliver_(std::move(deliver)) {}

  // A SIGINT or SIGTERM arrived. True when the process must end at once.
  bool OnSignal(int signal);
  // Offers a held stop again (call it every few tens of milliseconds while
  // Held()).
  void Retry();
  // A stop was asked for and the service has not taken it yet.
  bool Held() const { return requested_ && !delivered_; }

 private:
  std::function<bool()> deliver_;
  bool requested_ = false;
  bool delivered_ = false;
};

}  // namespace fenra::sim
