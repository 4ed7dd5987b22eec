// The Files port on Windows files: INI reading, share modes, and the trace
// log written through it on real files.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "platform/win32/win32_files.h"
#include "platform/win32/windows_api.h"
#include "win32_test_support.h"

namespace fenra::win32 {
namespace {

using testing::ScratchDirectory;
using testing::TracedMachine;

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(Win32FilesTest, PrivateProfileIntReadsAsWindowsDoes) {
  ScratchDirectory scratch;
  const std::string ini = scratch.path() + "FENRA.ini";
  WriteText(ini,
            "[MODE]\r\nSIMPLEX_FILTER_TIME=0\r\nempty=\r\nsuffix=42A9\r\nword=abc\r\nminus=-1\r\n"
            "wrap=4294967296\r\nquoted=\"17\"\r\n  spaced   =   8   \r\n");
  Win32Files files;
  auto read = [&](const char* key, int32_t fallback = -5) {
    return static_cast<int32_t>(files.GetPrivateProfileInt("MODE", key, fallback, ini));
  };
  EXPECT_EQ(read("SIMPLEX_FILTER_TIME"), 0);
  EXPECT_EQ(read("simplex_filter_time"), 0);  // names ignore case
  EXPECT_EQ(files.GetPrivateProfileInt("mode", "SIMPLEX_FILTER_TIME", -5, ini), 0u);
  EXPECT_EQ(read("missing"), -5);
  EXPECT_EQ(read("empty"), -5);
  EXPECT_EQ(read("suffix"), 42);
  EXPECT_EQ(read("word"), 0);  // not the default
  EXPECT_EQ(read("minus"), -1);
  EXPECT_EQ(read("wrap"), 0);
  EXPECT_EQ(read("quoted"), 17);
  EXPECT_EQ(read("spaced"), 8);
  EXPECT_EQ(files.GetPrivateProfileInt("OTHER", "SIMPLEX_FILTER_TIME", -5, ini), static_cast<uint32_t>(-5));
  EXPECT_EQ(files.GetPrivateProfileInt("MODE", "SIMPLEX_FILTER_TIME", -5, scratch.path() + "none.ini"),
            static_cast<uint32_t>(-5));
}

TEST(Win32FilesTest, AWriterWithoutWriteSharingLocksOutOtherWriters) {
  ScratchDirectory scratch;
  const std::string path = scratch.path() + "fenratrace1.log";
  Win32Files files;
  FilePtr writer = files.CreateFile(path, win::kGenericWrite, win::kFileShareRead, win::kOpenAlways);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(files.CreateFile(path, win::kGenericWrite, win::kFileShareRead, win::kOpenAlways), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(win::kErrorSharingViolation));
  FilePtr reader =
      files.CreateFile(path, win::kGenericRead, win::kFileShareRead | win::kFileShareWrite, win::kOpenExisting);
  EXPECT_NE(reader, nullptr);

  uint32_t count = 0;
  ASSERT_TRUE(files.WriteFile(*writer, "line\r\n", 6, &count));
  char back[8] = {};
  ASSERT_TRUE(files.ReadFile(*reader, back, sizeof(back), &count));
  EXPECT_EQ(std::string(back, count), "line\r\n");

  EXPECT_EQ(files.CreateFile(scratch.path() + "no\\such.log", win::kGenericWrite, 0, win::kOpenAlways), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(win::kErrorPathNotFound));
}

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
