#pragma once
// What the front ends share about their command lines.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/text.h"

namespace fenra::app {

// A refused command line is told as every other message of the program:
// after its name ("fenra-hw: The following argument was not expected: x"),
// with bytes that are not printable escaped.
inline void NameParseErrors(CLI::App& app) {
  app.failure_message([name = app.get_name()](const CLI::App* failed, const CLI::Error& error) {
    std::string text = CLI::FailureMessage::simple(failed, error);
    std::string first = text.substr(0, text.find('\n'));
    return name + ": " + sim::PrintableText(first) + text.substr(first.size());
  });
}

// Help that shows what a person types: an option's value as its type name
// alone ("--jobs J", not "--jobs J=1 REQUIRED"), no value for a flag
// ("--no-shrink", not "--no-shrink{false}"), a positional by its name (not
// "SCENARIO SCENARIO REQUIRED"); what is required and the limits are the
// descriptions' to say. A check's own description is added to the type name
// by CLI11 ("UINT:UINT in [1 - 256]"): give a check an empty one.
class PlainFormatter : public CLI::Formatter {
 public:
  std::string make_option_name(const CLI::Option* option, bool positional) const override {
    std::string name = CLI::Formatter::make_option_name(option, positional);
    for (size_t open; (open = name.find('{')) != std::string::npos;)
      name.erase(open, name.find('}', open) == std::string::npos ? std::string::npos
                                                                 : name.find('}', open) - open + 1);
    return name;
  }
  std::string make_option_opts(const CLI::Option* option) const override {
    if (option->get_positional() || option->get_type_size() == 0) return {};
    return " " + option->get_type_name();
  }
};

// The front ends' help: plain (above). Subcommands added later inherit it.
inline void PlainHelp(CLI::App& app) { app.formatter(std::make_shared<PlainFormatter>()); }

// The word of `known` that `word` most likely misspells (ignoring case: a
// letter left out, added, changed, or two swapped, at most two such slips
// and fewer than a third of the word), or empty when none is that close.
inline std::string_view NearestWord(std::string_view word, std::initializer_list<std::string_view> known) {
  auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
  // The optimal string alignment distance: edits, with adjacent swaps.
  auto distance = [&](std::string_view a, std::string_view b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
      for (size_t j = 1; j <= b.size(); ++j) {
        size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
        d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
        if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1]))
          d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    return d[a.size()][b.size()];
  };
  std::string_view best;
  size_t best_distance = SIZE_MAX;
  for (std::string_view candidate : known) {
    size_t slips = distance(word, candidate);
    if (slips < best_distance && slips <= 2 && slips * 3 < candidate.size()) {
      best = candidate;
      best_distance = slips;
    }
  }
  return best;
}

}  // namespace fenra::app
