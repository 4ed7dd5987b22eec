#include <gtest/gtest.h>

#include <optional>

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
    timers.RaiseChange(CHANGE_PCI_SIMPLEX);
    timers.RaiseChange(CHANGE_PCI_DUPLEX);
    ASSERT_TRUE(timers.TakeStartRequest(CHANGE_PCI_DUPLEX, " t\n"));
    timers.BeginStart(CHANGE_PCI_DUPLEX, s + 200000);
    timers.Started(CHANGE_PCI_DUPLEX, std::make_shared<KernelObject>());

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
void End(TimerTable& timers, int n, bool collected = true) {
  timers.TakeStop(n);
  timers.Ended(n);
  if (collected) timers.Collected(n);
}

TEST(TimerTableTest, ADuplexTimerAnnouncesOnlyTheReturnFromAnAnnouncedLossOrARiseToThree) {
  constexpr int S = CHANGE_PCI_SIMPLEX, D = CHANGE_PCI_DUPLEX;
  {  // Its SIMPLEX timer still runs: it is cancelled, no alert.
    TimerTable timers;
    timers.RaiseChange(S);
    Start(timers, S);
    timers.RaiseChange(D);
    EXPECT_EQ(timers.RunOutDuplex(D, Start(timers, D)), DuplexRunOut::kCancelSimplex);
    EXPECT_TRUE(timers.Get(S).stop);
  }
  {  // The SIMPLEX timer ran out and wrote its alert: the return is announced,
     // also while that timer still starts its composer.
    TimerTable timers;
    timers.RaiseChange(S);
    Start(timers, S);
    timers.RaiseChange(D);
    ChangeRequest duplex = Start(timers, D);
    EXPECT_TRUE(timers.RunOutSimplex(S));
    EXPECT_EQ(timers.RunOutDuplex(D, duplex), DuplexRunOut::kAnnounce);
    EXPECT_FALSE(timers.Get(S).stop);
  }
  {  // Two DUPLEX requests after an announced loss (a CPU pair back to two
     // modules, then at once to three): each is announced.
    TimerTable timers;
    timers.RaiseChange(S);
    Start(timers, S);
    EXPECT_TRUE(timers.RunOutSimplex(S));
    End(timers, S);
    timers.RaiseChange(D);
    ChangeRequest first = Start(timers, D);
    timers.RaiseChange(D);
    EXPECT_EQ(timers.RunOutDuplex(D, first), DuplexRunOut::kAnnounce);
    End(timers, D);
    EXPECT_EQ(timers.RunOutDuplex(D, Start(timers, D)), DuplexRunOut::kAnnounce);
  }
  {  // Its alert could not be started: nor is the return.
    TimerTable timers;
    timers.RaiseChange(S);
    Start(timers, S);
    EXPECT_TRUE(timers.RunOutSimplex(S));
    timers.SimplexNotAnnounced(S);
    End(timers, S);
    timers.RaiseChange(D);
    EXPECT_EQ(timers.RunOutDuplex(D, Start(timers, D)), DuplexRunOut::kFiltered);
  }
  {  // No SIMPLEX to answer (a CPU pair rising to three modules), also after
     // an earlier flap that a DUPLEX timer closed.
    TimerTable timers;
    timers.RaiseChange(S);
    Start(timers, S);
    timers.RaiseChange(D);
    EXPECT_EQ(timers.RunOutDuplex(D, Start(timers, D)), DuplexRunOut::kCancelSimplex);
    End(timers, D);
    End(timers, S);
    timers.RaiseChange(D);
    EXPECT_EQ(timers.RunOutDuplex(D, Start(timers, D)), DuplexRunOut::kAnnounce);
    EXPECT_FALSE(timers.Get(S).stop);
  }
}

// A second flap while the first one's DUPLEX timer cancels its SIMPLEX
// timer: the second SIMPLEX request waits for the old timers to be
// collected, and its DUPLEX request with it. Whenever the manager collects
// the cancelled SIMPLEX timer, neither flap gives an alert, and a SIMPLEX
// that came after the second DUPLEX keeps its timer.
TEST(TimerTableTest, AFlapInsideAFlapGivesNoAlertWheneverTheCancelledTimerIsCollected) {
  constexpr int S = CHANGE_PCI_SIMPLEX, D = CHANGE_PCI_DUPLEX;
  for (bool collected : {false, true}) {
    for (bool loss_after : {false, true}) {
      TimerTable timers;
      timers.RaiseChange(S);
      Start(timers, S);
      timers.RaiseChange(D);
      ChangeRequest first = Start(timers, D);
      timers.RaiseChange(S);  // waits: its timer exists
      timers.RaiseChange(D);  // waits: its timer exists
      ASSERT_EQ(timers.RunOutDuplex(D, first), DuplexRunOut::kCancelSimplex);
      End(timers, D);
      End(timers, S, collected);
      if (loss_after) timers.RaiseChange(S);
      // The manager's next round, SIMPLEX before DUPLEX.
      EXPECT_FALSE(TryStart(timers, S));
      ChangeRequest second = Start(timers, D);
      EXPECT_EQ(timers.RunOutDuplex(D, second), DuplexRunOut::kFiltered) << collected << loss_after;
      EXPECT_EQ(timers.Get(S).change, loss_after) << collected;
      EXPECT_FALSE(timers.Get(S).stop);
    }
  }
}

}  // namespace
}  // namespace fenra
