#include "platform/sim/console_stop.h"

namespace fenra::sim {

bool ConsoleStop::OnSignal(int signal) {
  if (requested_) return signal == SIGINT;
  requested_ = true;
  Retry();
  return false;
}

void ConsoleStop::Retry() {
  if (Held()) delivered_ = deliver_();
}

}  // namespace fenra::sim
