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
  explicit SimFilesTest(SimFiles::Sharing sharing = SimFiles::Sharing::kAcrossProcesses)
      : files_(paths_, system_, sharing) {
    std::filesystem::create_directories(Host("drive_c/Temp"));
  }

  std::filesystem::path Host(const std::string& relative) const { return dir_.path() / relative; }

  FilePtr Open(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) {
    SetLastError(0xDEAD);
    return files_.CreateFile(path, access, share, disposition);
  }

  // The last error of an open that is refused; kOpened when it succeeds.
  static constexpr uint32_t kOpened = 0xFFFFFFFF;
  uint32_t Refusal(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) {
    return Open(path, access, share, disposition) ? kOpened : GetLastError();
  }

  bool Write(File& file, const std::string& text) {
    uint32_t written = 0;
    return files_.WriteFile(file, text.data(), static_cast<uint32_t>(text.size()), &written) &&
           written == text.size();
  }

  std::string ReadAll(File& file) {
    files_.SetFilePointer(file, 0, win::kFileBegin, nullptr);
    std::string text(64, '\0');
    uint32_t count = 0;
    EXPECT_TRUE(files_.ReadFile(file, text.data(), static_cast<uint32_t>(text.size()), &count));
    text.resize(count);
    return text;
  }

  testing::ScratchDir dir_;
  testing::FakeSystem system_;
  MachinePaths paths_{dir_.path()};
  SimFiles files_;
};

TEST_F(SimFilesTest, DispositionsAndTheirLastErrors) {
  const std::string path = "C:\\Temp\\f.log";

  EXPECT_EQ(Refusal(path, kRead, kShareBoth, win::kOpenExisting), win::kErrorFileNotFound);
  EXPECT_EQ(Refusal(path, kWrite, kShareBoth, win::kTruncateExisting), win::kErrorFileNotFound);
  EXPECT_EQ(Refusal("C:\\Missing\\f.log", kWrite, kShareBoth, win::kOpenAlways), win::kErrorPathNotFound);

  FilePtr file = Open(path, kWrite, kShareRead, win::kCreateNew);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(Write(*file, "hello"));
  file.reset();
  EXPECT_EQ(Refusal(path, kWrite, kShareRead, win::kCreateNew), win::kErrorFileExists);

  // OPEN_ALWAYS keeps an existing file and says so.
  ASSERT_NE(Open(path, kWrite, kShareRead, win::kOpenAlways), nullptr);
  EXPECT_EQ(GetLastError(), win::kErrorAlreadyExists);
  EXPECT_EQ(ReadFile(Host("drive_c/Temp/f.log")), "hello");
  ASSERT_NE(Open("C:\\Temp\\new.log", kWrite, kShareRead, win::kOpenAlways), nullptr);
  EXPECT_EQ(GetLastError(), 0u);

  // CREATE_ALWAYS empties an existing file and says it existed.
  ASSERT_NE(Open(path, kWrite, kShareRead, win::kCreateAlways), nullptr);
  EXPECT_EQ(GetLastError(), win::kErrorAlreadyExists);
  EXPECT_EQ(ReadFile(Host("drive_c/Temp/f.log")), "");

  WriteFile(Host("drive_c/Temp/f.log"), "again");
  ASSERT_NE(Open(path, kWrite, kShareRead, win::kTruncateExisting), nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(ReadFile(Host("drive_c/Temp/f.log")), "");

  EXPECT_EQ(Refusal(path, kRead, kShareBoth, win::kTruncateExisting), win::kErrorInvalidParameter);
  EXPECT_EQ(Refusal(path, kRead, kShareBoth, 0), win::kErrorInvalidParameter);
  EXPECT_EQ(Refusal("C:\\Temp", kRead, kShareBoth, win::kOpenExisting), win::kErrorAccessDenied);
  EXPECT_EQ(Refusal("\\\\.\\IPMIDEV", kRead | kWrite, 0, win::kOpenExisting), win::kErrorFileNotFound);
}

TEST_F(SimFilesTest, RelativePathsFollowTheCurrentDirectoryAndAnyCase) {
  std::filesystem::create_directories(Host("drive_c/Work/Temp"));
  system_.current_directory = "C:\\WORK";
  FilePtr file = Open("temp\\Trace.log", kWrite, kShareRead, win::kCreateAlways);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(std::filesystem::exists(Host("drive_c/Work/Temp/Trace.log")));
  file.reset();
  EXPECT_NE(Open("C:\\work\\TEMP\\trace.LOG", kRead, kShareBoth, win::kOpenExisting), nullptr);
}

TEST_F(SimFilesTest, PointerReadAndWrite) {
  FilePtr file = Open("C:\\data.bin", kRead | kWrite, 0, win::kCreateAlways);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(Write(*file, "hello"));
  uint64_t position = 0;
  ASSERT_TRUE(files_.SetFilePointer(*file, -2, win::kFileCurrent, &position));
  EXPECT_EQ(position, 3u);
  EXPECT_TRUE(Write(*file, "P!"));
  EXPECT_EQ(ReadAll(*file), "helP!");

  // Past the end a write extends the file; before the start is refused.
  ASSERT_TRUE(files_.SetFilePointer(*file, 2, win::kFileEnd, &position));
  EXPECT_EQ(position, 7u);
  EXPECT_TRUE(Write(*file, "x"));
  uint64_t size = 0;
  ASSERT_TRUE(files_.GetFileSize(*file, &size));
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(ReadAll(*file), std::string("helP!\0\0x", 8));
  EXPECT_FALSE(files_.SetFilePointer(*file, -1, win::kFileBegin, &position));
  EXPECT_EQ(GetLastError(), 131u);
  EXPECT_FALSE(files_.SetFilePointer(*file, 0, 7, &position));
  EXPECT_EQ(GetLastError(), win::kErrorInvalidParameter);

  // Reading at the end succeeds with nothing.
  ASSERT_TRUE(files_.SetFilePointer(*file, 0, win::kFileEnd, nullptr));
  char byte = 0;
  uint32_t count = 1;
  EXPECT_TRUE(files_.ReadFile(*file, &byte, 1, &count));
  EXPECT_EQ(count, 0u);
}

TEST_F(SimFilesTest, HandlesOnlyDoWhatTheirAccessAllows) {
  FilePtr writer = Open("C:\\f", kWrite, kShareBoth, win::kCreateAlways);
  FilePtr reader = Open("C:\\f", kRead, kShareBoth, win::kOpenExisting);
  ASSERT_NE(writer, nullptr);
  ASSERT_NE(reader, nullptr);
  char byte = 0;
  uint32_t count = 0;
  EXPECT_FALSE(files_.ReadFile(*writer, &byte, 1, &count));
  EXPECT_EQ(GetLastError(), win::kErrorAccessDenied);
  EXPECT_FALSE(files_.WriteFile(*reader, "x", 1, &count));
  EXPECT_EQ(GetLastError(), win::kErrorAccessDenied);
}

class ShareModeTest : public SimFilesTest, public ::testing::WithParamInterface<SimFiles::Sharing> {
 protected:
  ShareModeTest() : SimFilesTest(GetParam()) {}
};

INSTANTIATE_TEST_SUITE_P(Sharing, ShareModeTest,
                         ::testing::Values(SimFiles::Sharing::kAcrossProcesses,
                                           SimFiles::Sharing::kThisProcessOnly));

TEST_P(ShareModeTest, ShareModesDecideWhoMayOpenBesideWhom) {
  const std::string path = "C:\\trace.log";
  const uint32_t violation = win::kErrorSharingViolation;

  // A writer that lets readers in: a second writer is refused, and so is a
  // reader that would not let the writer write.
  FilePtr writer = Open(path, kWrite, kShareRead, win::kOpenAlways);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(Refusal(path, kWrite, kShareBoth, win::kOpenAlways), violation);
  EXPECT_EQ(Refusal(path, kRead, kShareRead, win::kOpenExisting), violation);
  FilePtr reader = Open(path, kRead, kShareBoth, win::kOpenExisting);
  EXPECT_NE(reader, nullptr);
  // An open with no read or write access takes no part in sharing.
  EXPECT_NE(Open(path, 0, 0, win::kOpenExisting), nullptr);
  writer.reset();
  reader.reset();

  // Readers that refuse writers keep writers out, not each other.
  FilePtr first = Open(path, kRead, kShareRead, win::kOpenExisting);
  FilePtr second = Open(path, kRead, kShareRead, win::kOpenExisting);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Open(path, kWrite, kShareBoth, win::kOpenAlways), nullptr);
  first.reset();
  EXPECT_EQ(Open(path, kWrite, kShareBoth, win::kOpenAlways), nullptr);
  second.reset();
  EXPECT_NE(Open(path, kWrite, kShareBoth, win::kOpenAlways), nullptr);
}

TEST_F(SimFilesTest, AFileHeldByAnotherProcessIsNeitherOpenedNorTruncated) {
  WriteFile(Host("drive_d/Temp/fenratrace1.log"), "kept");
  const std::string path = "D:\\Temp\\fenratrace1.log";
  FilePtr held = files_.OpenAsOtherProcess(path, kWrite, kShareRead, win::kOpenAlways);
  ASSERT_NE(held, nullptr);

  EXPECT_EQ(Refusal(path, kWrite, kShareRead, win::kOpenAlways), win::kErrorSharingViolation);
  EXPECT_EQ(Refusal(path, kWrite, kShareRead, win::kCreateAlways), win::kErrorSharingViolation);
  EXPECT_EQ(ReadFile(Host("drive_d/Temp/fenratrace1.log")), "kept");
  FilePtr reader = Open(path, kRead, kShareBoth, win::kOpenExisting);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(ReadAll(*reader), "kept");

  // A second simulated process on the same machine sees the same.
  SimFiles other(paths_, system_);
  EXPECT_EQ(other.CreateFile(path, kWrite, kShareBoth, win::kOpenAlways), nullptr);

  held.reset();
  reader.reset();
  EXPECT_NE(Open(path, kWrite, kShareRead, win::kCreateAlways), nullptr);
}

TEST_F(SimFilesTest, AWriterInAnotherHostProcessBlocksWriters) {
  const std::string path = "C:\\Temp\\shared.log";
  int to_child[2];
  int to_parent[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(to_parent), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(to_child[1]);
    close(to_parent[0]);
    SimFiles files(paths_, system_);
    FilePtr held = files.CreateFile(path, kWrite, kShareRead, win::kOpenAlways);
    char answer = held ? 'y' : 'n';
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

  EXPECT_EQ(Refusal(path, kWrite, kShareBoth, win::kOpenAlways), win::kErrorSharingViolation);
  EXPECT_NE(Open(path, kRead, kShareBoth, win::kOpenExisting), nullptr);

  close(to_child[1]);
  close(to_parent[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_NE(Open(path, kWrite, kShareRead, win::kOpenAlways), nullptr);
}

class ProfileIntTest : public SimFilesTest {
 protected:
  uint32_t Read(const std::string& text, const std::string& section = "MODE",
                const std::string& key = "SIMPLEX_FILTER_TIME", int32_t fallback = -1) {
    WriteFile(Host("drive_c/Windows/system32/FENRA.ini"), text);
    return files_.GetPrivateProfileInt(section, key, fallback, "C:\\Windows\\system32\\FENRA.ini");
  }
};

TEST_F(ProfileIntTest, NumbersAreReadAsThePlatformReadsThem) {
  struct Case {
    const char* value;
    uint32_t expected;
  };
  const Case cases[] = {
      {"1200", 1200},
      {"+5", 5},
      {"-1", 4294967295u},
      {"42A94967297", 42},
      {"B4294967297", 0},
      {"abc", 0},
      {"4294967296", 0},
      {"4294967297", 1},
      {"-4294967297", 4294967295u},
      {"\"12\"", 12},
      {"'12'", 12},
      {"\"12'", 0},
      {"12 34", 12},
      {"0x1A", 26},
      {"0X1A", 0},
      {"- 5", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Read(std::string("[MODE]\r\nSIMPLEX_FILTER_TIME=") + c.value + "\r\n"), c.expected) << c.value;
  }
}

// Names ignore case and blanks; only the first section of the name and its first line of the key count; a
// missing or empty entry gives the default.
TEST_F(ProfileIntTest, WhereTheValueIsFound) {
  struct Case {
    const char* text;
    const char* section;
    const char* key;
    uint32_t expected;
  };
  for (const Case& c : {
           Case{"\xEF\xBB\xBF; comment\n[ mode ]\n  simplex_filter_time   =   30  \n", "MODE", "SIMPLEX_FILTER_TIME",
                30},
           Case{"[MODE]\nSIMPLEX_FILTER_TIME=1\n", " Mode ", "Simplex_Filter_Time ", 1},
           Case{"[MODE]\nA=1\n[MODE2]\nSIMPLEX_FILTER_TIME=2\n[MODE]\nSIMPLEX_FILTER_TIME=3\n", "MODE",
                "SIMPLEX_FILTER_TIME", 7},
           Case{"[MODE]\nSIMPLEX_FILTER_TIME=4\nSIMPLEX_FILTER_TIME=5\n", "MODE", "SIMPLEX_FILTER_TIME", 4},
           Case{"[OTHER]\nSIMPLEX_FILTER_TIME=5\n", "MODE", "SIMPLEX_FILTER_TIME", 7},
           Case{"[MODE]\nOTHER=5\n", "MODE", "SIMPLEX_FILTER_TIME", 7},
           Case{"[MODE]\nSIMPLEX_FILTER_TIME=\n", "MODE", "SIMPLEX_FILTER_TIME", 7},
           Case{"[MODE]\nSIMPLEX_FILTER_TIME\n", "MODE", "SIMPLEX_FILTER_TIME", 7},
       })
    EXPECT_EQ(Read(c.text, c.section, c.key, 7), c.expected) << c.text;
  EXPECT_EQ(Read("", "MODE", "SIMPLEX_FILTER_TIME", -1), 4294967295u);
  EXPECT_EQ(files_.GetPrivateProfileInt("MODE", "X", 7, "C:\\Windows\\system32\\none.ini"), 7u);
}

TEST_F(ProfileIntTest, ABareFileNameIsLookedForInTheWindowsDirectory) {
  WriteFile(Host("drive_c/Windows/FENRA.ini"), "[MODE]\nSIMPLEX_FILTER_TIME=11\n");
  WriteFile(Host("drive_c/Windows/system32/FENRA.ini"), "[MODE]\nSIMPLEX_FILTER_TIME=22\n");
  EXPECT_EQ(files_.GetPrivateProfileInt("MODE", "SIMPLEX_FILTER_TIME", -1, "FENRA.ini"), 11u);
  EXPECT_EQ(files_.GetPrivateProfileInt("MODE", "SIMPLEX_FILTER_TIME", -1, ".\\FENRA.ini"), 22u);
}

TEST_F(ProfileIntTest, AFileHeldWithoutSharingGivesTheDefault) {
  Read("[MODE]\nSIMPLEX_FILTER_TIME=5\n");
  FilePtr held = files_.OpenAsOtherProcess("C:\\Windows\\system32\\FENRA.ini", kWrite, 0, win::kOpenExisting);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(files_.GetPrivateProfileInt("MODE", "SIMPLEX_FILTER_TIME", 3, "C:\\Windows\\system32\\FENRA.ini"), 3u);
}

}  // namespace
}  // namespace fenra::sim
