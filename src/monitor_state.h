#pragma once
// The redundancy monitor's shared state: stop events, hand-over flags
// between threads, thread handle slots, and the configuration that
// ServiceThread sets once during its start-up. It sits beside Runtime,
// below every subsystem: the settings, WMI and alert code read and set it
// too, and the monitor threads build on those, not the other way round.
//
// Flags and handle slots are atomic or guarded. Each hand-over flag has one
// consumer, which only ever writes 0, while its producers only write 1.
// Configuration fields are plain: ServiceThread writes them before it starts
// the threads that read them (thread creation orders the writes), except
// where a field says otherwise.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/hardware.h"
#include "support/fixed_text.h"
#include "support/shared_handle.h"

namespace fenra {

// Timer and alert indices.
inline constexpr int CHANGE_CPU_SIMPLEX = 0;
inline constexpr int CHANGE_PCI_SIMPLEX = 1;
inline constexpr int CHANGE_EXPCI_SIMPLEX = 2;
inline constexpr int CHANGE_CPU_DUPLEX = 3;
inline constexpr int CHANGE_PCI_DUPLEX = 4;
inline constexpr int CHANGE_EXPCI_DUPLEX = 5;
inline constexpr int kTimerCount = 6;

// Group indices: the argument of a WMIThread, the row of EventClassTable.
inline constexpr int kGroupCpu = 0;
inline constexpr int kGroupPci = 1;
inline constexpr int kGroupDisk = 2;
inline constexpr int kGroupCount = 3;

inline constexpr int kLogOutSlots = 8;
inline constexpr int kMaxDeviceClasses = 8;

struct MonitorState {
  // Stop and shutdown.
  SharedHandle hShutdownEvent;  // the run is to end (Run waits on it)
  SharedHandle hServiceEvent;   // the service has been asked to stop
  SharedHandle m_PulseEvent;    // the named hot-plug event
  std::atomic<int32_t> stopflg{0};  // FALSE -> TRUE once, never back

  // Thread handle slots (empty = free).
  std::array<SharedHandle, kGroupCount> hWMIThread;
  std::array<SharedHandle, kTimerCount> hTimerThread;
  std::array<SharedHandle, kLogOutSlots> hLogOutThread;

  // Hand-over between threads.
  std::array<std::atomic<uint8_t>, kTimerCount> flgChangeStatus{};
  std::array<std::atomic<uint8_t>, kTimerCount> flgStopTimer{};
  std::array<std::atomic<uint32_t>, kTimerCount> dwLimitTime{};
  std::array<GuardedText<256>, kTimerCount> szOccurrenceTime;
  SharedHandle hSyncEventCPU;
  SharedHandle hSyncEventPCI;
  SharedHandle hSyncEventMTT;
  std::array<std::atomic<uint32_t>, kGroupCount> flgPulseRequest{};

  // Configuration.
  int32_t Timeout_value = 30000;  // ms, wait limit of the WMI status query
  int32_t waitPulseTime = 120;    // s, delay of a PulseThread
  uint32_t dwCpuShortThreshold = 0;  // minutes
  uint32_t dwPciShortThreshold = 0;
  uint32_t dwExPciShortThreshold = 0;
  uint32_t dwCpuLongThreshold = 0;
  uint32_t dwPciLongThreshold = 0;
  uint32_t dwExPciLongThreshold = 0;
  // Platform software version; an alert composer may fill it again while
  // other threads read it, hence guarded.
  GuardedText<16> szSWVersion{"unknown"};
  uint32_t dwPlatformGen = 2;
  uint32_t nDeviceClass = kMaxDeviceClasses;
  char szDeviceClassName[kMaxDeviceClasses][256] = {};
  char szIdfSimplex[128] = {};
  char szIdfDuplex[128] = {};
  char szIdsDetails[16] = {};

  // The hardware library and its two entries, set on first need and
  // released by ServiceThread at its end. Users copy them under `lock` and
  // call the copies after letting go: a copy keeps the library loaded until
  // its user is done, so a release never pulls it from under a running
  // alert composer.
  struct HardwareLibrary {
    std::mutex lock;
    LibraryPtr hQvmsmsen;
    LibraryProc pfnGetSdrRepositoryStatus;
    LibraryProc pfnGetDeviceID;
  } library;
};

}  // namespace fenra
