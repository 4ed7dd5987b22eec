#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "monitor/monitor_state.h"
#include "monitor/timer_threads.h"

namespace fenra {
namespace {

// The limits of the DUPLEX timers are pinned by the pci_flap,
// core_pci_flap_tick_turn and tick_wrap_2_32 scenarios and checked by the
// explorer's model on every run; the flap rule's one-millisecond edge is
// here. Start ticks just below the points where a signed comparison of two
// tick values goes wrong (2^31) and where the counter wraps (2^32).
constexpr uint32_t kStarts[] = {0, 0x80000000u - 100000, 0xFFFFFFFFu - 100000};

TEST(TimerTableTest, AFlapIsAbsorbedOnlyWhileTheDuplexTimerHasMoreThanTheMarginToRun) {
  for (uint32_t s : kStarts) {
    TimerTable timers;
    timers.RaiseChange(CHANGE_PCI_DUPLEX);
    ASSERT_TRUE(timers.TakeStartRequest(CHANGE_PCI_DUPLEX, " t\n"));
    timers.BeginStart(CHANGE_PCI_DUPLEX, s + 200000);
    timers.Started(CHANGE_PCI_DUPLEX, std::make_shared<KernelObject>());
    timers.RaiseChange(CHANGE_PCI_SIMPLEX);

    EXPECT_FALSE(timers.AbsorbFlap(CHANGE_PCI_SIMPLEX, s + 198000, 2000)) << s;
    EXPECT_TRUE(timers.AbsorbFlap(CHANGE_PCI_SIMPLEX, s + 197999, 2000)) << s;
    EXPECT_FALSE(timers.Get(CHANGE_PCI_SIMPLEX).change);
    EXPECT_TRUE(timers.TakeStop(CHANGE_PCI_DUPLEX));
  }
}

// Starts timer n for its waiting request, as the manager does: the request
// it carried, or nothing when the request may not start yet.
std::optional<ChangeRequest> TryStart(TimerTable& timers, int n) {
  std::optional<TimerStart> start = timers.TakeStartRequest(n, " t\n");
  if (!start) return std::nullopt;
  timers.BeginStart(n, 1000);
  timers.Started(n, std::make_shared<KernelObject>());
  return start->request;
}

ChangeRequest Start(TimerTable& timers, int n) {
  std::optional<ChangeRequest> request = TryStart(timers, n);
  EXPECT_TRUE(request) << n;
  return request.value_or(ChangeRequest{});
}

// A timer that obeys its cancel, or ends otherwise, and is collected.
void End(TimerTable& timers, int n) {
  timers.TakeStop(n);
  timers.Ended(n);
  timers.Collected(n);
}

// What a DUPLEX timer's run-out did, in words.
std::string Outcome(const DuplexRunOut& run_out) {
  return std::string(run_out.cancels_simplex ? "cancel " : "") + (run_out.announces ? "alert" : "no alert");
}

constexpr int S = CHANGE_PCI_SIMPLEX, D = CHANGE_PCI_DUPLEX;

// A loss and its SIMPLEX timer; announced: that timer ran out, wrote its
// alert and ended.
void Loss(TimerTable& timers) {
  timers.RaiseChange(S);
  Start(timers, S);
}
void AnnouncedLoss(TimerTable& timers) {
  Loss(timers);
  EXPECT_TRUE(timers.RunOutSimplex(S));
  End(timers, S);
}

// The cancel of a SIMPLEX timer that still runs (a flap, no alert) is
// pinned by the short_flap and pci_flap scenarios.
TEST(TimerTableTest, ADuplexTimerAnnouncesOnlyTheReturnFromAnAnnouncedLossOrARiseToThree) {
  {  // A loss raised again while its timer runs, then the return: the
     // DUPLEX timer does not wait behind the running SIMPLEX timer; it
     // cancels it and drops the older request with it.
    TimerTable timers;
    Loss(timers);
    timers.RaiseChange(S);
    timers.RaiseChange(D);
    EXPECT_EQ(Outcome(timers.RunOutDuplex(D, Start(timers, D))), "cancel no alert");
    EXPECT_FALSE(timers.Get(S).change);
  }
  {  // The SIMPLEX timer ran out and writes its alert: the return is
     // announced, also while that timer still starts its composer.
    TimerTable timers;
    Loss(timers);
    timers.RaiseChange(D);
    ChangeRequest duplex = Start(timers, D);
    EXPECT_TRUE(timers.RunOutSimplex(S));
    EXPECT_EQ(Outcome(timers.RunOutDuplex(D, duplex)), "alert");
    EXPECT_FALSE(timers.Get(S).stop);
  }
  {  // Its alert could not be started: nor is the return.
    TimerTable timers;
    Loss(timers);
    EXPECT_TRUE(timers.RunOutSimplex(S));
    timers.SimplexNotAnnounced(S);
    End(timers, S);
    timers.RaiseChange(D);
    EXPECT_EQ(Outcome(timers.RunOutDuplex(D, Start(timers, D))), "no alert");
  }
  {  // An announced loss (a CPU pair falling from three modules to two),
     // then a new loss and its return: the return is announced and the new
     // loss, shorter than its timer, cancelled.
    TimerTable timers;
    AnnouncedLoss(timers);
    Loss(timers);
    timers.RaiseChange(D);
    EXPECT_EQ(Outcome(timers.RunOutDuplex(D, Start(timers, D))), "cancel alert");
  }
  {  // Two DUPLEX requests after an announced loss (back to two modules,
     // then at once to three): each is announced.
    TimerTable timers;
    AnnouncedLoss(timers);
    timers.RaiseChange(D);
    ChangeRequest first = Start(timers, D);
    timers.RaiseChange(D);
    EXPECT_EQ(Outcome(timers.RunOutDuplex(D, first)), "alert");
    End(timers, D);
    EXPECT_EQ(Outcome(timers.RunOutDuplex(D, Start(timers, D))), "alert");
  }
  for (bool cancelled_yet : {false, true}) {
    // No SIMPLEX to answer (a CPU pair rising to three modules), also right
    // after a flap whose DUPLEX timer has run out, whether or not its
    // cancelled SIMPLEX timer has ended yet.
    TimerTable timers;
    Loss(timers);
    timers.RaiseChange(D);
    EXPECT_EQ(Outcome(timers.RunOutDuplex(D, Start(timers, D))), "cancel no alert");
    End(timers, D);
    if (cancelled_yet) End(timers, S);
    timers.RaiseChange(D);
    EXPECT_EQ(Outcome(timers.RunOutDuplex(D, Start(timers, D))), "alert") << cancelled_yet;
  }
}

// A second flap while the first one's DUPLEX timer cancels its SIMPLEX
// timer: the second SIMPLEX request waits for the cancelled timer to be
// collected, and the second DUPLEX request, younger, waits for it. Neither
// flap gives an alert, and a SIMPLEX that came after the second DUPLEX
// keeps its request for a timer of its own.
TEST(TimerTableTest, AFlapInsideAFlapGivesNoAlertAndItsRequestsStartInTheirOrder) {
  for (bool loss_after : {false, true}) {
    TimerTable timers;
    Loss(timers);
    timers.RaiseChange(D);
    ChangeRequest first = Start(timers, D);
    timers.RaiseChange(S);  // waits: its timer exists
    timers.RaiseChange(D);  // waits: its timer exists
    ASSERT_EQ(Outcome(timers.RunOutDuplex(D, first)), "cancel no alert");
    End(timers, D);
    if (loss_after) timers.RaiseChange(S);
    EXPECT_FALSE(TryStart(timers, S));
    std::optional<ChangeRequest> second = TryStart(timers, D);
    EXPECT_EQ(second.has_value(), loss_after) << "only a younger SIMPLEX lets it pass";
    End(timers, S);
    if (!loss_after) {
      Start(timers, S);
      EXPECT_EQ(Outcome(timers.RunOutDuplex(D, Start(timers, D))), "cancel no alert");
      continue;
    }
    EXPECT_FALSE(TryStart(timers, S)) << "it waits for the older DUPLEX timer";
    EXPECT_EQ(Outcome(timers.RunOutDuplex(D, second.value_or(ChangeRequest{}))), "no alert");
    EXPECT_TRUE(timers.Get(S).change);
  }
}

}  // namespace
}  // namespace fenra
