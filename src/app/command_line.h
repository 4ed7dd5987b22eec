#pragma once
// What the front ends share about their command lines.

#include <CLI/CLI.hpp>
#include <string>

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

}  // namespace fenra::app
