#pragma once
// Shrinking: a failing scenario made as small as it goes while it still
// fails the same way. It knows scenario files only as lines (setup
// directives, then timed ones), and tries, until nothing helps or the
// budget is spent: dropping timed directives (in blocks, then one by one),
// dropping setup directives, closing the gaps between moments, simpler
// module states and smaller numbers.

#include <functional>
#include <string>

namespace fenra::explorer {

// `fails` says whether a candidate text still fails the same check (a text
// that does not parse must not count). `budget`: the most candidates tried.
struct ShrinkResult {
  std::string text;
  int tried = 0;
};
ShrinkResult Shrink(const std::string& text, const std::function<bool(const std::string&)>& fails, int budget);

}  // namespace fenra::explorer
