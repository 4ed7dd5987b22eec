#include "wmi/state_text.h"

namespace fenra {

const char* StateTextA(Trace& trace, int32_t state) {
  if (const StateEntry* entry = FindState(state)) return entry->text;
  trace.TraceLogF("[CheckState]unknown State = %d", state);
  return kUnknownStateTextA;
}

const wchar_t* StateTextW(Trace& trace, int32_t state) {
  if (const StateEntry* entry = FindState(state)) return entry->wide_text;
  trace.TraceLogF("[GetStatus]unknown State = %d", state);
  return kUnknownStateTextW;
}

}  // namespace fenra
