// What the simulated files do beyond the Files contract: host paths,
// host processes, hosts without locks, the simulation's own INI choices.

#include "platform/sim/sim_files.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/sim/last_error.h"
#include "unit/platform/sim/test_support.h"

namespace fenra::sim {
namespace {

using testing::ReadFile;
using testing::WriteFile;

constexpr uint32_t kRead = win::kGenericRead;
constexpr uint32_t kWrite = win::kGenericWrite;
constexpr uint32_t kShareRead = win::kFileShareRead;
constexpr uint32_t kShareBoth = win::kFileShareRead | win::kFileShareWrite;

class SimFilesTest : public ::testing::Test {
 protected:
  std::filesystem::path Host(const std::string& relative) const { return dir_.path() / relative; }

  // The last error of an open that is refused, 0 when it succeeds.
  uint32_t Refusal(SimFiles& files, const std::string& path, uint32_t access, uint32_t share,
                   uint32_t disposition = win::kOpenAlways) {
    SetLastError(0xDEAD);
    return files.CreateFile(path, access, share, disposition) ? 0 : GetLastError();
  }

  uint32_t ReadIni(const std::string& text, const std::string& path = "C:\\Windows\\system32\\FENRA.ini") {
    WriteFile(Host("drive_c/Windows/system32/FENRA.ini"), text);
    return files_.GetPrivateProfileInt("MODE", "SIMPLEX_FILTER_TIME", -1, path);
  }

  testing::ScratchDir dir_;
  testing::FakeSystem system_;
  MachinePaths paths_{dir_.path()};
  SimFiles files_{paths_, system_};
};

TEST_F(SimFilesTest, RelativePathsFollowTheCurrentDirectory) {
  std::filesystem::create_directories(Host("drive_c/Work/Temp"));
  system_.current_directory = "C:\\WORK";
  ASSERT_NE(files_.CreateFile("temp\\Trace.log", kWrite, kShareRead, win::kCreateAlways), nullptr);
  EXPECT_TRUE(std::filesystem::exists(Host("drive_c/Work/Temp/Trace.log")));
}

// A directory found once is remembered; when it goes, the next open looks
// again and finds where it went, in whatever case.
TEST_F(SimFilesTest, ARememberedDirectoryThatMovedIsFoundAgain) {
  WriteFile(Host("drive_c/Logs/t.log"), "old");
  ASSERT_NE(files_.CreateFile("C:\\LOGS\\t.log", kRead, kShareBoth, win::kOpenExisting), nullptr);
  std::filesystem::rename(Host("drive_c/Logs"), Host("drive_c/Moved"));
  WriteFile(Host("drive_c/logs/t.log"), "new");

  FilePtr file = files_.CreateFile("C:\\LOGS\\t.log", kWrite, kShareRead, win::kOpenAlways);
  ASSERT_NE(file, nullptr);
  uint32_t written = 0;
  ASSERT_TRUE(files_.WriteFile(*file, "N", 1, &written));
  file.reset();
  EXPECT_EQ(ReadFile(Host("drive_c/logs/t.log")), "New");
  EXPECT_EQ(ReadFile(Host("drive_c/Moved/t.log")), "old");
}

TEST_F(SimFilesTest, AWriterInAnotherHostProcessBlocksWriters) {
  std::filesystem::create_directories(Host("drive_c/Temp"));
  const std::string path = "C:\\Temp\\shared.log";
  int to_child[2];
  int to_parent[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(to_parent), 0);
  // A sharing open before the fork: the first slot the child takes for a
  // sharing reader is the one the parent's next sharing reader tries.
  ASSERT_NE(files_.CreateFile(path, kRead, kShareBoth, win::kOpenAlways), nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(to_child[1]);
    close(to_parent[0]);
    SimFiles files(paths_, system_);
    FilePtr held = files.CreateFile(path, kWrite, kShareRead, win::kOpenAlways);
    FilePtr sharing = files.CreateFile(path, kRead, kShareBoth, win::kOpenExisting);
    char answer = held && sharing ? 'y' : 'n';
    ssize_t ignored = write(to_parent[1], &answer, 1);
    ignored = read(to_child[0], &answer, 1);  // until the parent closes its end
    (void)ignored;
    _exit(0);
  }
  close(to_child[0]);
  close(to_parent[1]);
  char answer = 0;
  ASSERT_EQ(read(to_parent[0], &answer, 1), 1);
  ASSERT_EQ(answer, 'y');

  EXPECT_EQ(Refusal(files_, path, kRead, kShareBoth, win::kOpenExisting), 0u);
  EXPECT_EQ(Refusal(files_, path, kWrite, kShareBoth), win::kErrorSharingViolation);
  EXPECT_EQ(Refusal(files_, path, kRead, kShareRead, win::kOpenExisting), win::kErrorSharingViolation);

  close(to_child[1]);
  close(to_parent[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(Refusal(files_, path, kWrite, kShareRead), 0u);
}

// Without the host's locks share modes bind the opens of one instance only.
TEST_F(SimFilesTest, WithoutHostLocksOnlyOneProcessesOpensExcludeEachOther) {
  std::filesystem::create_directories(Host("drive_c"));
  SimFiles files(paths_, system_, SimFiles::Sharing::kThisProcessOnly);
  FilePtr writer = files.CreateFile("C:\\f.log", kWrite, kShareRead, win::kOpenAlways);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(Refusal(files, "C:\\f.log", kWrite, kShareBoth), win::kErrorSharingViolation);
  EXPECT_EQ(Refusal(files, "C:\\f.log", kRead, kShareRead), win::kErrorSharingViolation);
  EXPECT_EQ(Refusal(files, "C:\\f.log", kRead, kShareBoth), 0u);
  EXPECT_EQ(Refusal(files_, "C:\\f.log", kWrite, kShareBoth), 0u);
  writer.reset();
  EXPECT_EQ(Refusal(files, "C:\\f.log", kWrite, kShareBoth), 0u);
}

// Base 0 was chosen for "0x" (current Wine reads hex; the documentation says
// nothing), and a UTF-8 byte-order mark is skipped.
TEST_F(SimFilesTest, IniNumbersMayBeHexAndFilesMayHaveAByteOrderMark) {
  EXPECT_EQ(ReadIni("[MODE]\nSIMPLEX_FILTER_TIME=0x1A\n"), 26u);
  EXPECT_EQ(ReadIni("[MODE]\nSIMPLEX_FILTER_TIME=0X1A\n"), 0u);
  EXPECT_EQ(ReadIni("\xEF\xBB\xBF[MODE]\nSIMPLEX_FILTER_TIME=30\n"), 30u);
}

TEST_F(SimFilesTest, ABareIniFileNameIsLookedForInTheWindowsDirectory) {
  WriteFile(Host("drive_c/Windows/FENRA.ini"), "[MODE]\nSIMPLEX_FILTER_TIME=11\n");
  EXPECT_EQ(ReadIni("[MODE]\nSIMPLEX_FILTER_TIME=22\n", "FENRA.ini"), 11u);
  EXPECT_EQ(ReadIni("[MODE]\nSIMPLEX_FILTER_TIME=22\n", ".\\FENRA.ini"), 22u);
}

}  // namespace
}  // namespace fenra::sim
