#include "explorer/shrink.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "runner/output.h"

namespace fenra::explorer {
namespace {

// One directive line: a setup line has no time.
struct Line {
  std::optional<uint64_t> at;  // ms
  std::string body;            // the directive without its time
};

std::optional<uint64_t> ParseTime(const std::string& word) {
  unsigned long long h = 0, m = 0, s = 0, ms = 0;
  int used = 0;
  if (sscanf(word.c_str(), "%llu:%llu:%llu%n", &h, &m, &s, &used) != 3) return std::nullopt;
  if (word[static_cast<size_t>(used)] == '.') {
    std::string fraction = word.substr(static_cast<size_t>(used) + 1) + "000";
    ms = std::strtoull(fraction.substr(0, 3).c_str(), nullptr, 10);
  } else if (word[static_cast<size_t>(used)] != '\0') {
    return std::nullopt;
  }
  return ((h * 60 + m) * 60 + s) * 1000 + ms;
}

std::vector<Line> Split(const std::string& text) {
  std::vector<Line> lines;
  size_t from = 0;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    std::string line = text.substr(from, end == std::string::npos ? std::string::npos : end - from);
    from = end == std::string::npos ? text.size() : end + 1;
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    size_t blank = line.find(' ', first);
    std::optional<uint64_t> at =
        blank == std::string::npos ? std::nullopt : ParseTime(line.substr(first, blank - first));
    if (at)
      lines.push_back({at, line.substr(blank + 1)});
    else
      lines.push_back({std::nullopt, line.substr(first)});
  }
  return lines;
}

std::string Join(const std::vector<Line>& lines) {
  std::string text;
  for (const Line& line : lines) {
    if (line.at) text += runner::ScenarioTimeText(*line.at) + " ";
    text += line.body + "\n";
  }
  return text;
}

bool Essential(const Line& line) { return line.body == "end"; }

class Shrinker {
 public:
  Shrinker(const std::function<bool(const std::string&)>& fails, int budget) : fails_(fails), budget_(budget) {}

  std::vector<Line> Run(std::vector<Line> lines) {
    best_ = std::move(lines);
    bool progress = true;
    while (progress && tried_ < budget_) {
      // Every step runs in every round, in this order: each may open the
      // way for another.
      bool dropped = DropBlocks();
      bool dropped_one = DropOneByOne();
      bool closed = CloseGaps();
      bool simpler = SimplerWords();
      progress = dropped || dropped_one || closed || simpler;
    }
    return best_;
  }
  int tried() const { return tried_; }

 private:
  bool Try(const std::vector<Line>& candidate) {
    if (tried_ >= budget_) return false;
    ++tried_;
    if (!fails_(Join(candidate))) return false;
    best_ = candidate;
    return true;
  }

  // Drops blocks of lines, halving the block size down to two.
  bool DropBlocks() {
    bool progress = false;
    for (size_t size = best_.size() / 2; size >= 2; size /= 2) {
      for (size_t from = 0; from + size <= best_.size();) {
        std::vector<Line> candidate;
        bool keeps_essential = true;
        for (size_t i = 0; i < best_.size(); ++i) {
          if (i >= from && i < from + size) {
            if (Essential(best_[i])) keeps_essential = false;
            continue;
          }
          candidate.push_back(best_[i]);
        }
        if (keeps_essential && Try(candidate)) {
          progress = true;
          continue;  // the same position now holds the next block
        }
        from += size;
      }
    }
    return progress;
  }

  bool DropOneByOne() {
    bool progress = false;
    for (size_t i = best_.size(); i-- > 0;) {
      if (i >= best_.size() || Essential(best_[i])) continue;
      std::vector<Line> candidate = best_;
      candidate.erase(candidate.begin() + static_cast<std::ptrdiff_t>(i));
      progress |= Try(candidate);
    }
    return progress;
  }

  // Moves everything after a gap earlier, closing the gap entirely or by
  // half.
  bool CloseGaps() {
    bool progress = false;
    uint64_t previous = 0;
    for (size_t i = 0; i < best_.size(); ++i) {
      if (!best_[i].at) continue;
      uint64_t gap = *best_[i].at - previous;
      for (uint64_t cut : {gap, gap / 2}) {
        if (cut < 1000) continue;
        std::vector<Line> candidate = best_;
        for (size_t j = i; j < candidate.size(); ++j)
          if (candidate[j].at) *candidate[j].at -= cut;
        if (Try(candidate)) {
          progress = true;
          break;
        }
      }
      previous = *best_[i].at;
    }
    return progress;
  }

  // Module states in plainer words, numbers smaller.
  bool SimplerWords() {
    bool progress = false;
    for (size_t i = 0; i < best_.size(); ++i) {
      const std::string& body = best_[i].body;
      size_t last = body.rfind(' ');
      if (last == std::string::npos) continue;
      std::string head = body.substr(0, last + 1);
      std::string word = body.substr(last + 1);
      std::vector<std::string> simpler;
      if (body.starts_with("state ") || body.starts_with("module ")) {
        for (const char* plain : {"DUPLEX", "SIMPLEX", "REMOVED"})
          if (word != plain) simpler.push_back(plain);
      } else if (body.find(" dword ") != std::string::npos || body.starts_with("wmi-fault ")) {
        char* end = nullptr;
        unsigned long long value = std::strtoull(word.c_str(), &end, 10);
        if (end != nullptr && *end == '\0' && value > 1) {
          simpler.push_back("1");
          simpler.push_back(std::to_string(value / 2));
        }
      }
      for (const std::string& replacement : simpler) {
        std::vector<Line> candidate = best_;
        candidate[i].body = head + replacement;
        if (Try(candidate)) {
          progress = true;
          break;
        }
      }
    }
    return progress;
  }

  const std::function<bool(const std::string&)>& fails_;
  const int budget_;
  int tried_ = 0;
  std::vector<Line> best_;
};

}  // namespace

ShrinkResult Shrink(const std::string& text, const std::function<bool(const std::string&)>& fails, int budget) {
  Shrinker shrinker(fails, budget);
  std::vector<Line> lines = shrinker.Run(Split(text));
  return {Join(lines), shrinker.tried()};
}

}  // namespace fenra::explorer
