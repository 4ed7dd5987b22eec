#pragma once
// The pending deadlines of the virtual-time kernel (the time-outs of waits and
// the scheduled inputs), earliest first; equal deadlines in the order they
// were set, so that a run is a function of its inputs.
//
// The heap is intrusive: an entry lives in whatever waits for it (a blocked
// wait, a scheduled input) and knows its own place in the heap, so it can be
// taken out from the middle when the wait ends early. Setting and taking out
// a deadline allocates nothing once the heap has grown to its largest size.

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace fenra::sim {

struct Deadline {
  static constexpr size_t kNotQueued = SIZE_MAX;
  uint64_t at = 0;        // milliseconds on the kernel's clock
  uint64_t sequence = 0;  // the order in which deadlines were set
  size_t slot = kNotQueued;
  bool queued() const { return slot != kNotQueued; }
};

// Entry: a type derived from Deadline.
template <typename Entry>
class DeadlineHeap {
 public:
  // Queues `entry` (which must not be queued) for `at`.
  void Push(Entry* entry, uint64_t at) {
    entry->at = at;
    entry->sequence = next_sequence_++;
    heap_.push_back(entry);
    SiftUp(heap_.size() - 1, entry);
  }

  // Takes `entry` out; nothing happens when it is not queued.
  void Remove(Entry* entry) {
    if (!entry->queued()) return;
    size_t slot = entry->slot;
    entry->slot = Deadline::kNotQueued;
    Entry* last = heap_.back();
    heap_.pop_back();
    if (last == entry) return;
    // The last entry fills the hole and moves whichever way it must.
    if (slot > 0 && Before(last, heap_[(slot - 1) / 2]))
      SiftUp(slot, last);
    else
      SiftDown(slot, last);
  }

  // The earliest deadline, or nullptr.
  Entry* Top() const { return heap_.empty() ? nullptr : heap_.front(); }
  bool empty() const { return heap_.empty(); }
  size_t size() const { return heap_.size(); }
  // Every queued entry, in no particular order.
  std::span<Entry* const> entries() const { return heap_; }

  // Takes every entry out.
  void Clear() {
    for (Entry* entry : heap_) entry->slot = Deadline::kNotQueued;
    heap_.clear();
  }

 private:
  static bool Before(const Entry* a, const Entry* b) {
    return a->at != b->at ? a->at < b->at : a->sequence < b->sequence;
  }

  void Place(size_t slot, Entry* entry) {
    heap_[slot] = entry;
    entry->slot = slot;
  }

  void SiftUp(size_t slot, Entry* entry) {
    while (slot > 0) {
      size_t parent = (slot - 1) / 2;
      if (!Before(entry, heap_[parent])) break;
      Place(slot, heap_[parent]);
      slot = parent;
    }
    Place(slot, entry);
  }

  void SiftDown(size_t slot, Entry* entry) {
    const size_t size = heap_.size();
    for (;;) {
      size_t child = 2 * slot + 1;
      if (child >= size) break;
      if (child + 1 < size && Before(heap_[child + 1], heap_[child])) ++child;
      if (!Before(heap_[child], entry)) break;
      Place(slot, heap_[child]);
      slot = child;
    }
    Place(slot, entry);
  }

  std::vector<Entry*> heap_;
  uint64_t next_sequence_ = 0;
};

}  // namespace fenra::sim
