// A machine directory as a person finds it.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/sim/last_error.h"
#include "platform/sim/sim_machine.h"
#include "unit/platform/sim/test_support.h"

namespace fenra::sim {
namespace {

// Messages of the machine start with the name of the program that runs it.
std::string Me() { return program_invocation_short_name; }

using fenra::testing::TestMachine;
using fenra::testing::VirtualTime;
using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

TEST(MachineDirectoryTest, ADirectoryWithoutRegistryIsSetUpAndKeepsItsFiles) {
  ScratchDir directory;
  const std::string system = "{\"ui_language\": \"ja\"}\n";
  WriteFile(directory.path() / SimMachine::kSystemFile, system);
  SimMachine machine(directory.path(), VirtualTime());
  EXPECT_EQ(ReadFile(directory.path() / SimMachine::kSystemFile), system);
  EXPECT_EQ(machine.registry().GetString(Hive::kLocalMachine, "SOFTWARE\\QOR\\QVMAlertMan", "TempDir"),
            SimMachine::kBaselineTraceDir);
  EXPECT_TRUE(std::filesystem::exists(directory.path() / kHardwareFile));
}

TEST(MachineDirectoryTest, AFileIsNoMachine) {
  ScratchDir scratch;
  const std::filesystem::path file = scratch.path() / "notes.txt";
  WriteFile(file, "mine");
  try {
    SimMachine machine(file, VirtualTime());
    ADD_FAILURE() << "a file was taken as a machine";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).find(file.string() + " is a file"), 0u) << e.what();
  }
  EXPECT_EQ(ReadFile(file), "mine");
}

TEST(MachineDirectoryTest, FilesThatCannotBeWrittenAreSaidOnceOnStandardError) {
  TestMachine machine;
  const std::filesystem::path directory = machine->directory();
  // Directories where the registry's temporary file and the event log go.
  const std::filesystem::path blocker = directory / "registry.reg.tmp";
  std::filesystem::create_directory(blocker);
  std::filesystem::remove(machine->event_log_path());
  std::filesystem::create_directory(machine->event_log_path());
  EventSourcePtr source = machine->event_log().RegisterEventSource("QVMZUFT");
  ASSERT_NE(source, nullptr);

  ::testing::internal::CaptureStderr();
  EXPECT_NE(machine->registry().SetDword(Hive::kLocalMachine, "SOFTWARE\\X", "a", 1), 0);
  EXPECT_FALSE(machine->event_log().ReportEvent(*source, win::kEventlogErrorType, 0, 1, {"x"}, {}));
  EXPECT_NE(machine->registry().SetDword(Hive::kLocalMachine, "SOFTWARE\\X", "b", 2), 0);
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(Count(said, Me() + ": "), 1u) << said;
  EXPECT_EQ(said.find(Me() + ": cannot write " + (directory / SimMachine::kRegistryFile).string()), 0u) << said;

  // Once a write has succeeded, the next failure is said again.
  std::filesystem::remove(blocker);
  ASSERT_EQ(machine->registry().SetDword(Hive::kLocalMachine, "SOFTWARE\\X", "c", 3), 0);
  ::testing::internal::CaptureStderr();
  SetLastError(0);
  EXPECT_FALSE(machine->event_log().ReportEvent(*source, win::kEventlogErrorType, 0, 1, {"x"}, {}));
  EXPECT_NE(GetLastError(), 0u);
  said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(Count(said, Me() + ": cannot write " + machine->event_log_path().string()), 1u) << said;
}

}  // namespace
}  // namespace fenra::sim
