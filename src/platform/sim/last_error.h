#pragma once
// The calling thread's last error, shared by every simulated adapter (the
// simulated GetLastError/SetLastError).

#include <cstdint>

namespace fenra::sim {

uint32_t GetLastError();
void SetLastError(uint32_t error);

}  // namespace fenra::sim
