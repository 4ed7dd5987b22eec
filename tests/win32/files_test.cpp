// The trace log written through the Files port on real files (the port
// itself is held to its contract in contract_suites_test.cpp).

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "win32_test_support.h"

namespace fenra::win32 {
namespace {

using testing::TracedMachine;

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(Win32TraceTest, LinesGoToTheFirstFileUntilItIsFullThenToTheOther) {
  TracedMachine machine;
  Trace& trace = machine.runtime().trace;
  trace.TraceLog("[ServiceThread]start thread");
  trace.TraceLogF("[ServiceThread]SIMPLEX_FILTER_TIME = %d", 1200000);
  EXPECT_EQ(machine.TraceLines(),
            (std::vector<std::string>{"[ServiceThread]start thread", "[ServiceThread]SIMPLEX_FILTER_TIME = 1200000"}));

  // A first file beyond the limit: a new trace starts the second file, and
  // each file is written while another process may read it.
  const std::string first = machine.trace_directory() + "fenratrace1.log";
  WriteText(first, std::string(Trace::kMaxFileSize + 1, 'x'));
  Trace next(machine.platform());
  next.TraceLog("[ServiceThread]after rotation");
  std::ifstream second(machine.trace_directory() + "fenratrace2.log", std::ios::binary);
  std::string line;
  ASSERT_TRUE(std::getline(second, line));
  EXPECT_TRUE(std::regex_match(line, std::regex("\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d'\\d\\d\"\\d{3} "
                                                "\\[ServiceThread\\]after rotation\r")))
      << line;
}

}  // namespace
}  // namespace fenra::win32
