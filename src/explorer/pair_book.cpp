#include "explorer/pair_book.h"

namespace fenra::explorer {
namespace {

constexpr int32_t kSimplex = 0x80015;
constexpr int32_t kDuplex = 0x180016;
constexpr int32_t kTriplex = 0x180017;

// The walk's status code: which modules say SIMPLEX, DUPLEX or TRIPLEX,
// decided in the walk's order of tests (the first that holds wins).
int StatusCode(const ModuleStates& states) {
  auto is = [&](int module, int32_t state) {
    auto found = states.find(module);
    return found != states.end() && found->second == state;
  };
  bool triplex = false;
  for (const auto& [module, state] : states) triplex |= state == kTriplex;
  bool s0 = is(0, kSimplex), s1 = is(1, kSimplex), s2 = is(2, kSimplex), d0 = is(0, kDuplex), d1 = is(1, kDuplex);
  bool s10 = is(10, kSimplex), s11 = is(11, kSimplex), sx = is(12, kSimplex) || is(13, kSimplex);
  if (triplex) return 2;
  if (s0) return s1 ? 9 : d1 ? 10 : 13;
  if (s1) return d0 ? 11 : 14;
  if (s2) return 1;
  if (d0) return d1 ? 12 : 15;
  if (d1) return 16;
  if (sx) return s10 || s11 ? 3 : 5;
  if (s10) return s11 ? 6 : 7;
  if (s11) return 8;
  return 0;
}

}  // namespace

PairBook::PairBook(int group) : group_(group) {
  Book start;
  start.state[0] = start.state[1] = kDuplex;
  books_.insert(start);
}

void PairBook::Raise(Book& book, uint64_t at, int pair, bool simplex, bool triplex) {
  book.last[pair] = simplex ? 1 : 2;
  requests_.insert({at, pair, simplex, triplex});
}

// The start-up table: what each status code does to the thread's states,
// requests and pair flags.
void PairBook::Classify(Book& book, uint64_t at, int code) {
  auto halves = [&](bool first, bool second) {
    book.half[0] = first;
    book.half[1] = second;
  };
  auto lost = [&](int pair) {
    book.state[pair == 2 ? 1 : 0] = kSimplex;
    Raise(book, at, pair, true, false);
  };
  switch (code) {
    case 1: lost(0); break;
    case 2: book.state[0] = kTriplex; break;
    case 3: lost(1), lost(2); break;
    case 5: lost(2); break;
    case 6: lost(1), halves(false, false); break;
    case 7: lost(1), halves(false, true); break;
    case 8: lost(1), halves(true, false); break;
    case 9: case 13: case 14: lost(0), halves(false, false); break;
    case 10: case 16: lost(0), halves(false, true); break;
    case 11: case 15: lost(0), halves(true, false); break;
    case 12: halves(true, true); break;
    default:
      // A CPU walk that finds nothing it knows is ABNORMAL, a loss; the PCI
      // thread takes it for both halves DUPLEX.
      if (group_ == 0)
        lost(0), halves(false, false);
      else
        halves(true, true);
  }
}

void PairBook::Walk(uint64_t at, const std::vector<ModuleStates>& readings, bool may_fail) {
  std::set<Book> next;
  for (const Book& book : books_) {
    if (may_fail) {
      Book failed = book;
      Classify(failed, at, -1);
      next.insert(failed);
    }
    for (const ModuleStates& states : readings) {
      Book read = book;
      read.known = states;
      Classify(read, at, StatusCode(states));
      next.insert(read);
    }
  }
  books_ = std::move(next);
}

// One event through the pair bookkeeping and the transition table.
void PairBook::Apply(Book& book, uint64_t at, int module, int32_t state) {
  bool expci = group_ == 1 && (module == 12 || module == 13);
  int first = group_ == 0 ? 0 : 10;
  book.half[module == first ? 0 : 1] = state == kDuplex;
  if (state == kDuplex && !(book.half[0] && book.half[1])) state = kSimplex;
  int32_t& target = book.state[expci ? 1 : 0];
  int pair = group_ == 0 ? 0 : expci ? 2 : 1;
  if (state == kSimplex && (target == kDuplex || target == kTriplex)) {
    target = kSimplex;
    Raise(book, at, pair, true, false);
  } else if (state == kDuplex && target == kSimplex) {
    target = kDuplex;
    Raise(book, at, pair, false, false);
  } else if (group_ == 0 && state == kDuplex && target == kTriplex) {
    target = kDuplex;
    Raise(book, at, pair, true, true);
  } else if (group_ == 0 && state == kTriplex && (target == kSimplex || target == kDuplex)) {
    target = kTriplex;
    Raise(book, at, pair, false, true);
  }
}

void PairBook::Event(uint64_t at, int module, std::optional<int32_t> state, bool may_be_lost) {
  std::set<Book> next;
  for (Book book : books_) {
    if (may_be_lost) next.insert(book);
    // An event without a readable state leaves what the thread knew.
    if (state) book.known[module] = *state;
    Apply(book, at, module, state.value_or(0));
    next.insert(book);
  }
  books_ = std::move(next);
}

void PairBook::UnreadableEvent(uint64_t at) {
  // Module numbers standing for each half and pair: a text without a
  // readable module reads as module 0.
  const std::vector<int> modules = group_ == 0 ? std::vector<int>{0, 1} : std::vector<int>{0, 10, 12};
  std::set<Book> next;
  for (const Book& book : books_) {
    // Read as saying nothing of any module, or as some module's state.
    next.insert(book);
    for (int module : modules)
      for (int32_t state : {0, kSimplex, kDuplex}) {
        Book read = book;
        Apply(read, at, module, state);
        next.insert(read);
      }
  }
  books_ = std::move(next);
}

void PairBook::Reread(uint64_t at, const std::vector<ModuleStates>& readings, bool may_fail) {
  std::set<Book> next;
  for (const Book& book : books_) {
    if (may_fail) next.insert(book);
    for (const ModuleStates& states : readings) {
      Book read = book;
      for (const auto& [module, state] : states) {
        auto known = read.known.find(module);
        if (known != read.known.end() && known->second == state) continue;
        read.known[module] = state;
        Apply(read, at, module, state);
      }
      next.insert(read);
    }
  }
  books_ = std::move(next);
}

bool PairBook::MayOweSimplex(int pair) const {
  for (const Book& book : books_)
    if (book.last[pair] == 1) return true;
  return false;
}

bool PairBook::MayOweNoSimplex(int pair) const {
  for (const Book& book : books_)
    if (book.last[pair] != 1) return true;
  return false;
}

}  // namespace fenra::explorer
