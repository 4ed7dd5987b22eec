#pragma once
// The Kernel port on Windows kernel objects, threads and clocks
// (timeGetTime, GetLocalTime). Waits are the real ones: on Windows the
// service runs on real time only.

#include "platform/kernel.h"

namespace fenra::win32 {

class Win32Kernel final : public Kernel {
 public:
  uint32_t TimeGetTime() override;
  LocalTime GetLocalTime() override;

  Handle CreateEvent(bool manual_reset, bool initial_state, const std::string& name = {}) override;
  bool SetEvent(const Handle& event) override;
  bool ResetEvent(const Handle& event) override;
  bool PulseEvent(const Handle& event) override;

  Handle CreateMutex(bool initial_owner) override;
  bool ReleaseMutex(const Handle& mutex) override;

  uint32_t WaitForSingleObject(const Handle& object, uint32_t milliseconds) override;
  // The same handle twice fails with ERROR_INVALID_PARAMETER, as on
  // Windows, also where the system below (Wine) would not check.
  uint32_t WaitForMultipleObjects(std::span<const Handle> objects, bool wait_all, uint32_t milliseconds) override;
  void Sleep(uint32_t milliseconds) override;

  // The thread's name becomes its description (SetThreadDescription, where
  // the system has it), for debuggers and crash dumps.
  Handle CreateThread(ThreadProc proc, const std::string& name = {}) override;
  bool GetExitCodeThread(const Handle& thread, uint32_t* exit_code) override;

  uint32_t GetLastError() override;
  void SetLastError(uint32_t error) override;
};

}  // namespace fenra::win32
