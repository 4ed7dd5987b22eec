#pragma once
// Kernel port: clocks, kernel objects, waits and threads, with Win32
// semantics (manual-reset events with pulse, WAIT_OBJECT_0 + i results,
// STILL_ACTIVE exit codes, a wrapping 32-bit millisecond tick counter).
//
// Every blocking call of the core goes through this port, so that a
// simulated kernel can run the whole system on virtual time.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/win_values.h"

namespace fenra {

// Local wall-clock time, field for field as the platform's SYSTEMTIME.
struct LocalTime {
  uint16_t year = 0;
  uint16_t month = 0;        // 1..12
  uint16_t day_of_week = 0;  // 0 = Sunday
  uint16_t day = 0;          // 1..31
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
};

// An event, mutex or thread. Handles are shared pointers: "closing" a
// handle drops one reference, and the object lives while any thread still
// holds one, so a thread that outlives its creator never touches a freed
// object. An empty Handle is the platform's null handle.
class KernelObject {
 public:
  virtual ~KernelObject() = default;
};
using Handle = std::shared_ptr<KernelObject>;

// All operations are thread-safe. Failures set the calling thread's last
// error, readable through GetLastError().
class Kernel {
 public:
  virtual ~Kernel() = default;

  // timeGetTime: milliseconds, wraps every 2^32 ms; only differences count.
  virtual uint32_t TimeGetTime() = 0;
  virtual LocalTime GetLocalTime() = 0;

  // CreateEventA. A named event that exists already is returned (last
  // error ERROR_ALREADY_EXISTS) and keeps its own type and state.
  virtual Handle CreateEvent(bool manual_reset, bool initial_state, const std::string& name = {}) = 0;
  virtual bool SetEvent(const Handle& event) = 0;
  virtual bool ResetEvent(const Handle& event) = 0;
  // Releases the threads waiting at this instant (all of them for a
  // manual-reset event, one for an auto-reset event), then leaves the event
  // non-signalled: with nobody waiting, a signalled event is reset.
  virtual bool PulseEvent(const Handle& event) = 0;

  virtual Handle CreateMutex(bool initial_owner) = 0;
  virtual bool ReleaseMutex(const Handle& mutex) = 0;

  // Results: kWaitObject0 + index (lowest signalled index wins for a wait on
  // any), kWaitAbandoned0 + index, kWaitTimeout, kWaitFailed (last error
  // set; an empty handle gives ERROR_INVALID_HANDLE).
  virtual uint32_t WaitForSingleObject(const Handle& object, uint32_t milliseconds) = 0;
  virtual uint32_t WaitForMultipleObjects(std::span<const Handle> objects, bool wait_all,
                                          uint32_t milliseconds) = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;

  // Starts a thread at once. Its handle is signalled when it ends; its exit
  // code is the procedure's result (kStillActive while it runs). `name` is
  // for diagnostics only (a debugger's thread description, a stall report).
  using ThreadProc = std::function<uint32_t()>;
  virtual Handle CreateThread(ThreadProc proc, const std::string& name = {}) = 0;
  virtual bool GetExitCodeThread(const Handle& thread, uint32_t* exit_code) = 0;

  virtual uint32_t GetLastError() = 0;
  virtual void SetLastError(uint32_t error) = 0;
};

}  // namespace fenra
