#pragma once
// What Windows keeps per thread and the simulated adapters need: the last
// error, and COM apartment membership. On virtual time several simulated
// threads share one OS thread, so these live with the simulated thread, not
// in thread_local variables.

#include <cstdint>
#include <map>

namespace fenra::sim {

struct ThreadLocals {
  uint32_t last_error = 0;
  struct Apartment {
    int count = 0;
    uint32_t model = 0;
  };
  // Per simulated COM runtime (SimCom instance).
  std::map<uint64_t, Apartment> apartments;
};

// The calling thread's: the running simulated thread's on virtual time, else
// the OS thread's own.
ThreadLocals& CurrentThreadLocals();

}  // namespace fenra::sim
