#pragma once
// What the alert rules make of what a group's WMI thread hears: the pair
// bookkeeping (each half's DUPLEX flag, the accepted state of each pair)
// and the SIMPLEX and DUPLEX requests it hands to the timers, replayed from
// the hardware's history by the rules alone. Where a run leaves open what
// the thread heard (an event text the checker does not parse, an event a
// fault may have hidden, a walk a fault may have spoiled), every reading
// is followed: the replay keeps the set of bookkeepings the rules allow.
//
// The rules' surprises, kept here on purpose: a half's flag is shared (the
// CPU pair's second half is every module but 0, the PCI thread's second
// half every module but 10, so an ExPCI report moves the PCI pair's flag);
// a DUPLEX report while the other half has not said DUPLEX counts as
// SIMPLEX; only SIMPLEX and DUPLEX reports (and TRIPLEX for the CPU) move
// a pair, so a module that goes REMOVED or ONLINE alone changes nothing;
// the CPU group's fall from TRIPLEX to DUPLEX is a SIMPLEX request.

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace fenra::explorer {

// Module number (its InstanceName read as a number) to state; a module
// without a state is absent.
using ModuleStates = std::map<int, int32_t>;

// A request to the timers, as some reading of the run raises it.
struct PairRequest {
  uint64_t at = 0;  // when the thread raised it
  int pair = 0;     // 0 CPU, 1 PCI, 2 ExPCI
  bool simplex = false;
  // CPU: a DUPLEX request of a rise to TRIPLEX, or the SIMPLEX request of
  // a fall from TRIPLEX to DUPLEX (reported like a loss).
  bool triplex = false;
  auto operator<=>(const PairRequest&) const = default;
};

class PairBook {
 public:
  // group 0: the CPU modules (pair 0); 1: the PCI modules (pairs 1 and 2).
  explicit PairBook(int group);

  // The start-up walk's answer, at `at`, for the group's states as it read
  // them: one of `readings` (the states may have changed while it waited
  // for WMI); `may_fail`: a fault may have spoiled the walk (it then
  // answers as for no module).
  void Walk(uint64_t at, const std::vector<ModuleStates>& readings, bool may_fail);
  // One state event; `may_be_lost`: the thread may not have read it.
  void Event(uint64_t at, int module, std::optional<int32_t> state, bool may_be_lost);
  // An event whose text the checker does not read: it may say nothing of
  // any module, or name any module of the group (or none, read as module
  // 0) with SIMPLEX, DUPLEX or no readable state.
  void UnreadableEvent(uint64_t at);
  // After a new subscription the thread reads the states again (one of
  // `readings`) and feeds each module that differs from what it last knew,
  // in ascending order; `may_fail`: the reading may have failed (nothing
  // is fed).
  void Reread(uint64_t at, const std::vector<ModuleStates>& readings, bool may_fail);

  // Whether, in some reading, the pair's last request is a SIMPLEX one
  // (the rules then owe a SIMPLEX alert), or a DUPLEX one or none.
  bool MayOweSimplex(int pair) const;
  bool MayOweNoSimplex(int pair) const;
  // Every reading's requests, in order.
  const std::set<PairRequest>& requests() const { return requests_; }

 private:
  struct Book {
    bool half[2] = {false, false};
    int32_t state[2] = {};   // accepted state: [0] the thread's pair (CPU or PCI), [1] ExPCI
    int8_t last[3] = {};     // last request per pair: 0 none, 1 SIMPLEX, 2 DUPLEX
    std::map<int, int32_t> known;  // the states the thread last knew
    auto operator<=>(const Book&) const = default;
  };
  void Apply(Book& book, uint64_t at, int module, int32_t state);
  void Raise(Book& book, uint64_t at, int pair, bool simplex, bool triplex);
  void Classify(Book& book, uint64_t at, int code);

  int group_;
  std::set<Book> books_;
  std::set<PairRequest> requests_;
};

}  // namespace fenra::explorer
