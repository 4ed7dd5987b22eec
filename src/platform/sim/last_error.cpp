#include "platform/sim/last_error.h"

#include "platform/sim/thread_locals.h"

namespace fenra::sim {

uint32_t GetLastError() { return CurrentThreadLocals().last_error; }
void SetLastError(uint32_t error) { CurrentThreadLocals().last_error = error; }

}  // namespace fenra::sim
