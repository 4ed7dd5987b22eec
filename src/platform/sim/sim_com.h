#pragma once
// Simulated COM runtime: per-thread apartment membership and process
// security, with the HRESULTs of the real runtime.

#include <atomic>

#include "platform/com.h"
#include "support/thread_annotations.h"

namespace fenra::sim {

class SimCom final : public Com {
 public:
  int32_t CoInitializeEx(uint32_t coinit) override;
  void CoUninitialize() override;
  int32_t CoInitializeSecurity(uint32_t authn_level, uint32_t imp_level) override;

  // Successful CoInitializeEx calls not yet balanced by CoUninitialize,
  // over all threads.
  int Outstanding() const { return outstanding_.load(); }
  bool SecurityInitialized() const;

 private:
  static std::atomic<uint64_t> next_id_;
  const uint64_t id_ = next_id_++;  // keys this runtime's per-thread state
  std::atomic<int> outstanding_{0};
  mutable Mutex mutex_;
  bool security_set_ FENRA_GUARDED_BY(mutex_) = false;
};

}  // namespace fenra::sim
