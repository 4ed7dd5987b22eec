#pragma once
// The trace texts that more than one place writes or reads: the monitor's
// stop line, the timer manager's and the timers' lines, the WMI threads'
// pair lines. The status lines of the groups' queries stand in the pairs
// table ("state/pairs.h"); a text written at one place only and read by
// nobody stays beside its call.
//
// These texts are the service's output, not prose: administrators' tools,
// the timeline and the scenarios' expected files read them. They are kept
// byte for byte as they always were, spellings included ("retrun",
// "faild", "Futule", "serch", "timiout", double blanks): do not tidy them.

#include <string_view>

namespace fenra::trace_text {

// After "[thread]" or "[thread n]": the thread ends on the stop flag.
inline constexpr char kStopReturn[] = "stopflg=TRUE retrun 0";
inline constexpr char kServiceStop[] = "[ServiceThread]stopflg = TRUE";
inline constexpr char kServiceWaitError[] = "[ServiceThread]WaitForSingleObject Error = %d";
// The first line of each start of the monitor.
inline constexpr char kServiceThreadStart[] = "[ServiceThread]start thread";
// The platform software version found (named after its registry value
// whichever source gave it); none is traced when it stays "unknown".
inline constexpr char kPlatformVersionFound[] = "[CheckSWVersion]TrelvaneVersion = %s";

// SimplexDate: a SIMPLEX timer stores the time it starts (GetRegisterSZ, its
// value's name, the stamp), finds the stored one in the future, or a
// changed module's serial number deletes it (the serial's value name).
inline constexpr char kRegisterSzStored[] = "[GetRegisterSZ]SetValue %s = %s";
inline constexpr char kSimplexDateFuture[] = "[CheckLongThreshold]SimplexDate Error (Futule?)";
inline constexpr char kSimplexDateDeleted[] = "[CheckSerialNumber]Delete SimplexDate (%s)";

// The timer manager.
inline constexpr char kManagerStart[] = "[ManageTimerThread]start";
// It has taken a SIMPLEX request of a pair (its index name, its
// acknowledgement event), or any DUPLEX request.
inline constexpr char kAcknowledgeSimplex[] = "[ManageTimerThread]flgChangeStatus[%s] SetEvent(%s)";
inline constexpr char kAcknowledgeDuplex[] = "[ManageTimerThread]flgChangeStatus[DUPLEX] SetEvent(hSyncEvent)";
inline constexpr char kFlapAbsorbed[] = "[ManageTimerThread][%s] SIMP->DUP->SIMP";
inline constexpr char kManagerStopTimer[] = "[ManageTimerThread][%s] StopTimer(%d)";

// Timer n.
inline constexpr char kTimerRecurrence[] = "[TimerThread %d][%s] SIMP----->SIMP (%d min)";
inline constexpr char kTimerStart[] = "[TimerThread %d]start Limit time = %d sec";
inline constexpr char kTimerCancel[] = "[TimerThread %d]stop  timer cancel";
inline constexpr char kTimerClockBack[] = "[TimerThread %d]start_time error";
inline constexpr char kTimerRunOut[] = "[TimerThread %d]time out  Limit time = %d sec";
inline constexpr char kTimerWaitError[] = "[TimerThread %d]WaitForSingleObject Error = %d";
inline constexpr char kTimerBackToDuplex[] = "[TimerThread %d][%s] DUP->SIMP->DUP";
inline constexpr char kTimerStopTimer[] = "[TimerThread %d][%s] StopTimer(%d)";
inline constexpr char kComposerNoSlot[] = "[TimerThread %d]Create EventLogOut Faild";
inline constexpr char kComposerError[] = "[TimerThread %d]Create EventLogOut Error = %d";
inline constexpr char kComposerStarted[] = "[TimerThread %d]Create EventLogOut => hLogOutThread[%d]";

// WMI thread g.
inline constexpr char kWmiStart[] = "[WMIThread %d]start";
inline constexpr char kWmiStatus[] = "[WMIThread %d]GetStatus nRtn = %d";
// A subscription's result (0: subscribed), and each event call's result
// after it (nonzero: the subscription is gone).
inline constexpr char kWmiSubscribed[] = "[WMIThread %d]wms.getEvent res1 = %d";
inline constexpr char kWmiFirstEvent[] = "[WMIThread %d]wms.getText res2 = %d";
inline constexpr char kWmiNextEvent[] = "[WMIThread %d]wms.getEvent res2 = %d";
// A recheck after a subscription found modules changed since the thread
// last knew them (the walk's status code follows).
inline constexpr char kWmiRecheck[] = "[WMIThread %d]Recheck GetStatus nRtn = %d";
// A DUPLEX event completes its pair (the group's label), or only one half
// of it is DUPLEX (the halves' flags).
inline constexpr char kPairDuplex[] = "[WMIThread %d](%s) --> DUPLEX DUPLEX";
inline constexpr char kPairHalfDuplex[] = "[WMIThread %d](%d,%d)STATE_DUPLEX => STATE_SIMPLEX";
inline constexpr char kWmiHandOver[] = "[WMIThread %d]StateChange PulseEvent(hSyncEventMTT)";
inline constexpr char kWmiAcknowledged[] = "[WMIThread %d]ManageTimerThread SetEvent(%s) dwWake=%x";
inline constexpr char kWmiNotAcknowledged[] = "[WMIThread %d]StateChange WaitForSingleObject Exit";

// A module's state event: "  (CPU 1) --> SIMPLEX" (the state text brings
// its own blank).
inline constexpr char kCpuModuleState[] = "  (CPU %d) -->";
inline constexpr char kPciModuleState[] = "  (PCI %d) -->";
inline constexpr char kDiskModuleState[] = "  (DISK %d)-->";

// The fixed text of `format` after its n-th conversion ("%d", "%s", ...)
// up to the next one, or before the first for n = 0: what a reader of the
// trace looks for. FixedPart(kTimerStart, 1) is "]start Limit time = ".
constexpr std::string_view FixedPart(std::string_view format, int n) {
  size_t from = 0;
  for (int i = 0; i < n; ++i) {
    size_t percent = format.find('%', from);
    if (percent == std::string_view::npos) return {};
    from = percent + 2;
  }
  size_t to = format.find('%', from);
  return format.substr(from, to == std::string_view::npos ? std::string_view::npos : to - from);
}

static_assert(FixedPart("a%db%sc", 0) == "a" && FixedPart("a%db%sc", 1) == "b" && FixedPart("a%db%sc", 2) == "c" &&
              FixedPart("a", 1).empty());

}  // namespace fenra::trace_text
