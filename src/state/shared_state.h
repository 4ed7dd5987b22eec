#pragma once
// The part of a service process's monitor state that the layers below the
// monitor read and set: the stop flag and the stop events, the events of
// the hand-over between WMI threads and the timer manager, the configuration
// read at start-up, the platform version and the hardware library. The
// monitor's own bookkeeping (timers, thread slots) builds on this in
// "monitor/monitor_state.h"; the WMI layer, the settings and the alert
// composer see only this part, through Runtime::shared.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "diagnostics/trace_log.h"
#include "platform/hardware.h"
#include "support/fixed_text.h"
#include "support/shared_handle.h"
#include "support/thread_annotations.h"

namespace fenra {

inline constexpr int kMaxDeviceClasses = 8;

// What ServiceThread reads at start-up. Published once, before the threads
// that read it start, and read-only afterwards.
struct MonitorConfig {
  int32_t Timeout_value = 30000;  // ms, wait limit of the WMI status query
  int32_t waitPulseTime = 120;    // s, delay of a PulseThread
  uint32_t dwCpuShortThreshold = 0;  // minutes
  uint32_t dwPciShortThreshold = 0;
  uint32_t dwExPciShortThreshold = 0;
  uint32_t dwCpuLongThreshold = 0;
  uint32_t dwPciLongThreshold = 0;
  uint32_t dwExPciLongThreshold = 0;
  uint32_t dwPlatformGen = 2;
  uint32_t nDeviceClass = kMaxDeviceClasses;
  char szDeviceClassName[kMaxDeviceClasses][256] = {};
  char szIdfSimplex[128] = {};
  char szIdfDuplex[128] = {};
  char szIdsDetails[16] = {};
};

struct SharedState {
  SharedState() = default;
  SharedState(const SharedState&) = delete;
  SharedState& operator=(const SharedState&) = delete;

  // Stop and shutdown.
  SharedHandle hShutdownEvent;  // the run is to end (Run waits on it)
  SharedHandle hServiceEvent;   // the service has been asked to stop
  SharedHandle m_PulseEvent;    // the named hot-plug event
  std::atomic<int32_t> stopflg{0};  // FALSE -> TRUE once, never back
  // Set when the monitor ends; the pulse threads end on it.
  SharedHandle hMonitorEndEvent;

  // Hand-over between the WMI threads and the timer manager: the manager is
  // woken by hSyncEventMTT and answers on a pair's acknowledgement event.
  SharedHandle hSyncEventCPU;
  SharedHandle hSyncEventPCI;
  SharedHandle hSyncEventMTT;

  // The configuration: the defaults until ServiceThread publishes what it
  // read. Publish before the readers start; a published configuration stays
  // valid for the life of this state, also when another one replaces it.
  const MonitorConfig& config() const { return *config_.load(std::memory_order_acquire); }
  void PublishConfig(const MonitorConfig& config) FENRA_EXCLUDES(publish_lock_);

  // Platform software version; an alert composer may fill it again while
  // other threads read it, hence guarded.
  GuardedText<16> szSWVersion{"unknown"};

  // The hardware library and its two entries, set on first need and
  // released by ServiceThread at its end. Users copy them under `lock` and
  // call the copies after letting go: a copy keeps the library loaded until
  // its user is done, so a release never pulls it from under a running
  // alert composer.
  struct HardwareLibrary {
    Mutex lock;
    // The hardware vendor's installation folder (Installdir), where the
    // library is looked for after the system's and the program's folders;
    // set by ServiceThread at its start.
    std::string install_dir FENRA_GUARDED_BY(lock);
    LibraryPtr hQvmsmsen FENRA_GUARDED_BY(lock);
    LibraryProc pfnGetSdrRepositoryStatus FENRA_GUARDED_BY(lock);
    LibraryProc pfnGetDeviceID FENRA_GUARDED_BY(lock);
  } library;

 private:
  const MonitorConfig defaults_{};
  Mutex publish_lock_;
  std::deque<MonitorConfig> published_ FENRA_GUARDED_BY(publish_lock_);
  std::atomic<const MonitorConfig*> config_{&defaults_};
};

// The stop check of the monitor's loops: true once stopflg is raised, after
// the thread's "stopflg=TRUE retrun 0" line. `thread` is the tag of the
// line ("getText"); a `number` of 0 or more follows it ("[WMIThread 1]").
bool StopRequested(const SharedState& shared, Trace& trace, const char* thread, int number = -1);
// The same line alone, for a thread that learnt of the stop another way.
void TraceStopReturn(Trace& trace, const char* thread, int number = -1);

}  // namespace fenra
