#include "platform/sim/deadline_heap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <set>
#include <utility>

namespace fenra::sim {
namespace {

struct Entry : Deadline {
  int id = 0;
};

// Random pushes, removals from anywhere and pops of the earliest, checked
// step by step against an ordered set of (deadline, order of setting): the
// heap must give the same earliest entry and hold the same entries, with few
// distinct deadlines so that ties are common.
TEST(DeadlineHeap, GivesTheEarliestDeadlineFirstAndTiesInTheOrderSet) {
  std::mt19937 random(7);
  std::deque<Entry> pool(400);
  for (size_t i = 0; i < pool.size(); ++i) pool[i].id = static_cast<int>(i);
  DeadlineHeap<Entry> heap;
  std::set<std::pair<std::pair<uint64_t, uint64_t>, int>> expected;
  uint64_t order = 0;
  for (int step = 0; step < 20000; ++step) {
    Entry& entry = pool[random() % pool.size()];
    switch (random() % 3) {
      case 0:
        if (entry.queued()) break;
        heap.Push(&entry, random() % 8);
        expected.insert({{entry.at, order++}, entry.id});
        break;
      case 1:
        if (entry.queued()) expected.erase({{entry.at, entry.sequence}, entry.id});
        heap.Remove(&entry);
        break;
      default:
        if (heap.empty()) break;
        heap.Remove(heap.Top());
        expected.erase(expected.begin());
    }
    ASSERT_EQ(heap.size(), expected.size());
    ASSERT_EQ(heap.empty() ? -1 : heap.Top()->id, expected.empty() ? -1 : expected.begin()->second) << step;
    ASSERT_FALSE(entry.queued() && !expected.contains({{entry.at, entry.sequence}, entry.id}));
  }
  std::vector<Entry*> left(heap.entries().begin(), heap.entries().end());
  heap.Clear();
  EXPECT_TRUE(heap.empty());
  EXPECT_TRUE(std::none_of(left.begin(), left.end(), [](const Entry* e) { return e->queued(); }));
}

}  // namespace
}  // namespace fenra::sim
