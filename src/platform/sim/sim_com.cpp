#include "platform/sim/sim_com.h"

#include "platform/sim/thread_locals.h"
#include "platform/win_values.h"

namespace fenra::sim {

std::atomic<uint64_t> SimCom::next_id_{0};

int32_t SimCom::CoInitializeEx(uint32_t coinit) {
  ThreadLocals::Apartment& apartment = CurrentThreadLocals().apartments[id_];
  if (apartment.count > 0 && apartment.model != coinit) return win::kRpcEChangedMode;
  apartment.model = coinit;
  ++outstanding_;
  return apartment.count++ == 0 ? win::kSOk : win::kSFalse;
}

void SimCom::CoUninitialize() {
  ThreadLocals::Apartment& apartment = CurrentThreadLocals().apartments[id_];
  if (apartment.count == 0) return;  // unbalanced: ignored, as the real runtime does
  --apartment.count;
  --outstanding_;
}

int32_t SimCom::CoInitializeSecurity(uint32_t, uint32_t) {
  if (CurrentThreadLocals().apartments[id_].count == 0) return win::kCoENotInitialized;
  MutexLock lock(mutex_);
  if (security_set_) return win::kRpcETooLate;
  security_set_ = true;
  return win::kSOk;
}

bool SimCom::SecurityInitialized() const {
  MutexLock lock(mutex_);
  return security_set_;
}

}  // namespace fenra::sim
