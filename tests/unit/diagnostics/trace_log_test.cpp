#include "diagnostics/trace_log.h"

#include <gtest/gtest.h>

#include "support/service_process.h"

namespace fenra {
namespace {

using testing::ReadFile;
using testing::TestMachine;
using testing::VirtualTimeAt;
using testing::WriteFile;

class TraceLogTest : public ::testing::Test {
 protected:
  std::string File(int number) { return ReadFile(machine.TracePath("fenratrace" + std::to_string(number) + ".log")); }

  testing::ServiceProcess process{VirtualTimeAt(LocalTime{2026, 3, 6, 7, 9, 5, 7, 42})};
  TestMachine& machine = process.machine;
  Trace& trace = process.trace;
};

// Stamp, blank, message, CR LF; every field but the year zero-padded (the
// traced scenarios pin a four-digit year's line).
TEST_F(TraceLogTest, LineLayoutIsStampMessageCrLf) {
  TestMachine early(VirtualTimeAt(LocalTime{812, 1, 0, 2, 8, 4, 5, 7}));
  Trace(early.platform()).TraceLog("x");
  EXPECT_EQ(ReadFile(early.TracePath("fenratrace1.log")), "812/01/02 08:04'05\"007 x\r\n");
}

// A formatted message is cut at 255 characters, stamp and message at 10000.
TEST_F(TraceLogTest, LinesAreCutToTheirBuffers) {
  trace.TraceLogF("[X]%s", std::string(400, 'a').c_str());
  trace.TraceLog(std::string(20000, 'm').c_str());
  std::string text = File(1);
  constexpr size_t kFirst = 24 + 255 + 2;
  EXPECT_EQ(text.find("\r\n"), kFirst - 2);
  ASSERT_EQ(text.size(), kFirst + 10002u);
  EXPECT_EQ(text.substr(kFirst + 9999), "m\r\n");
}

// TempDir is a prefix, not a folder; without it nothing is written.
TEST_F(TraceLogTest, TheTraceFilesFollowTempDir) {
  machine->registry().SetString(Hive::kLocalMachine, "SOFTWARE\\QOR\\QVMAlertMan", "TempDir",
                                "C:\\QOR\\QVMAlertMan\\Temp");
  trace.TraceLog("beside");
  EXPECT_EQ(ReadFile(machine->HostPath("C:\\QOR\\QVMAlertMan\\Tempfenratrace1.log")),
            "2026/03/07 09:05'07\"042 beside\r\n");
  process.DeleteValue("SOFTWARE\\QOR\\QVMAlertMan", "TempDir");
  trace.TraceLog("lost");
  EXPECT_FALSE(std::filesystem::exists(machine.TracePath("fenratrace1.log")));
  EXPECT_FALSE(std::filesystem::exists(machine.TracePath("fenratrace2.log")));
}

// A full first file sends the line to the second, appended; both full
// truncate the first.
TEST_F(TraceLogTest, AFullFileSendsTheLineToTheOtherOrBothFullTruncateTheFirst) {
  WriteFile(machine.TracePath("fenratrace1.log"), std::string(700000, 'a'));
  WriteFile(machine.TracePath("fenratrace2.log"), "old\r\n");
  trace.TraceLog("new");
  EXPECT_EQ(File(1).size(), 700000u);
  EXPECT_EQ(File(2), "old\r\n2026/03/07 09:05'07\"042 new\r\n");
  WriteFile(machine.TracePath("fenratrace2.log"), std::string(700000, 'b'));
  trace.TraceLog("new");
  EXPECT_EQ(File(1), "2026/03/07 09:05'07\"042 new\r\n");
  EXPECT_EQ(File(2).size(), 700000u);
}

TEST_F(TraceLogTest, AFileOfExactlyTheLimitTakesOneMoreLine) {
  WriteFile(machine.TracePath("fenratrace1.log"), std::string(Trace::kMaxFileSize, 'a'));
  WriteFile(machine.TracePath("fenratrace2.log"), "old\r\n");
  trace.TraceLog("one more");
  EXPECT_EQ(File(1).size(), Trace::kMaxFileSize + 24 + 8 + 2);
  trace.TraceLog("rotated");
  EXPECT_EQ(File(2), "2026/03/07 09:05'07\"042 rotated\r\n");
  trace.TraceLog("stays");
  EXPECT_NE(File(2).find("stays"), std::string::npos);
}

TEST_F(TraceLogTest, AFileHeldForWritingElsewhereIsTreatedAsFull) {
  trace.TraceLog("first");
  {
    FilePtr held = machine->files().OpenAsOtherProcess(
        std::string(sim::SimMachine::kBaselineTraceDir) + "fenratrace1.log", win::kGenericWrite, win::kFileShareRead,
        win::kOpenExisting);
    ASSERT_TRUE(held);
    trace.TraceLog("second");
  }
  EXPECT_EQ(File(2), "2026/03/07 09:05'07\"042 second\r\n");
  EXPECT_EQ(File(1), "2026/03/07 09:05'07\"042 first\r\n");
}

// TempDir is another product's folder, which users may be able to create
// files in. A trace file planted there (a second name of a file the
// service must not write, a symbolic link; the files contract has the
// other kinds) counts as one that cannot be opened: the other file takes
// the line, and when both are planted the line is lost. What they lead to
// is neither written nor cut.
TEST_F(TraceLogTest, APlantedTraceFileIsRefusedAndWhatItLeadsToIsLeftAlone) {
  const std::filesystem::path secret = machine->HostPath("C:\\Windows\\system32\\config\\secret.dat");
  std::filesystem::create_directories(secret.parent_path());
  WriteFile(secret, "SYSTEM's own");
  std::filesystem::create_hard_link(secret, machine.TracePath("fenratrace1.log"));
  trace.TraceLog("to the other file");
  EXPECT_EQ(File(2), "2026/03/07 09:05'07\"042 to the other file\r\n");

  std::filesystem::remove(machine.TracePath("fenratrace2.log"));
  std::filesystem::create_symlink(secret, machine.TracePath("fenratrace2.log"));
  trace.TraceLog("lost");
  EXPECT_EQ(ReadFile(secret), "SYSTEM's own");
}

// A thread that ended holding the trace mutex leaves it abandoned: the next
// line owns it all the same and must give it back.
TEST_F(TraceLogTest, AnAbandonedTraceMutexIsReleasedAfterTheLine) {
  Handle mutex = trace.CreateTraceMutex();
  Kernel& kernel = process.kernel;
  Handle owner = kernel.CreateThread([&] { return kernel.WaitForSingleObject(mutex, win::kInfinite); });
  kernel.WaitForSingleObject(owner, win::kInfinite);
  trace.TraceLog("after the owner ended");
  uint32_t later_wait = win::kWaitFailed;
  Handle later = kernel.CreateThread([&] {
    later_wait = kernel.WaitForSingleObject(mutex, 0);
    if (later_wait == win::kWaitObject0) kernel.ReleaseMutex(mutex);
    return 0u;
  });
  kernel.WaitForSingleObject(later, win::kInfinite);
  EXPECT_EQ(later_wait, win::kWaitObject0);
  EXPECT_NE(File(1).find("after the owner ended"), std::string::npos);
}

}  // namespace
}  // namespace fenra
