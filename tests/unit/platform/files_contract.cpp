#include "unit/platform/files_contract.h"

#include <cstdio>
#include <functional>

#include "platform/win_values.h"

namespace fenra::testing {
namespace {

constexpr uint32_t kRead = win::kGenericRead;
constexpr uint32_t kWrite = win::kGenericWrite;
constexpr uint32_t kShareRead = win::kFileShareRead;
constexpr uint32_t kShareBoth = win::kFileShareRead | win::kFileShareWrite;
constexpr uint32_t kViolation = win::kErrorSharingViolation;
constexpr uint32_t kErrorNegativeSeek = 131;

}  // namespace

FilePtr FilesContractTest::Open(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) {
  harness_->kernel().SetLastError(0xDEAD);
  return files().CreateFile(path, access, share, disposition);
}

uint32_t FilesContractTest::Refusal(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) {
  return Open(path, access, share, disposition) ? kOpened : LastError();
}

bool FilesContractTest::Write(File& file, const std::string& text) {
  uint32_t written = 0;
  return files().WriteFile(file, text.data(), static_cast<uint32_t>(text.size()), &written) && written == text.size();
}

std::string FilesContractTest::ReadAll(File& file) {
  EXPECT_TRUE(files().SetFilePointer(file, 0, win::kFileBegin, nullptr));
  std::string text;
  char buffer[256];
  uint32_t count = 0;
  while (files().ReadFile(file, buffer, sizeof(buffer), &count) && count > 0) text.append(buffer, count);
  return text;
}

std::string FilesContractTest::Content(const std::string& path) {
  FilePtr file = files().CreateFile(path, kRead, kShareBoth, win::kOpenExisting);
  return file ? ReadAll(*file) : "(none)";
}

uint32_t FilesContractTest::ReadIni(const std::string& text, const std::string& section, const std::string& key,
                                    int32_t fallback) {
  Put(Path("FENRA.ini"), text);
  return files().GetPrivateProfileInt(section, key, fallback, Path("FENRA.ini"));
}

void FilesContractTest::Put(const std::string& path, const std::string& text) {
  FilePtr file = files().CreateFile(path, kWrite, 0, win::kCreateAlways);
  ASSERT_NE(file, nullptr) << path;
  ASSERT_TRUE(Write(*file, text));
}

TEST_P(FilesContractTest, DispositionsAndTheirLastErrors) {
  const std::string path = Path("f.log");
  EXPECT_EQ(Refusal(path, kRead, kShareBoth, win::kOpenExisting), win::kErrorFileNotFound);
  EXPECT_EQ(Refusal(path, kWrite, kShareBoth, win::kTruncateExisting), win::kErrorFileNotFound);
  EXPECT_EQ(Refusal(Path("missing\\f.log"), kWrite, kShareBoth, win::kOpenAlways), win::kErrorPathNotFound);

  FilePtr file = Open(path, kWrite, kShareRead, win::kCreateNew);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(LastError(), 0u);
  EXPECT_TRUE(Write(*file, "hello"));
  file.reset();
  EXPECT_EQ(Refusal(path, kWrite, kShareRead, win::kCreateNew), win::kErrorFileExists);

  // OPEN_ALWAYS keeps an existing file and says so.
  ASSERT_NE(Open(path, kWrite, kShareRead, win::kOpenAlways), nullptr);
  EXPECT_EQ(LastError(), win::kErrorAlreadyExists);
  EXPECT_EQ(Content(path), "hello");
  ASSERT_NE(Open(Path("new.log"), kWrite, kShareRead, win::kOpenAlways), nullptr);
  EXPECT_EQ(LastError(), 0u);

  // CREATE_ALWAYS empties an existing file and says it existed.
  ASSERT_NE(Open(path, kWrite, kShareRead, win::kCreateAlways), nullptr);
  EXPECT_EQ(LastError(), win::kErrorAlreadyExists);
  EXPECT_EQ(Content(path), "");

  Put(path, "again");
  ASSERT_NE(Open(path, kWrite, kShareRead, win::kTruncateExisting), nullptr);
  EXPECT_EQ(LastError(), 0u);
  EXPECT_EQ(Content(path), "");

  // Truncating needs write access; Wine opens the file all the same.
  EXPECT_EQ(Refusal(path, kRead, kShareBoth, win::kTruncateExisting),
            on_wine() ? kOpened : win::kErrorInvalidParameter);
  EXPECT_EQ(Refusal(path, kRead, kShareBoth, 0), win::kErrorInvalidParameter);
  // A directory is no file.
  std::string directory = Path("");
  directory.pop_back();
  EXPECT_EQ(Refusal(directory, kRead, kShareBoth, win::kOpenExisting), win::kErrorAccessDenied);
  EXPECT_EQ(Refusal(directory, kWrite, kShareBoth, win::kOpenAlways), win::kErrorAccessDenied);
}

TEST_P(FilesContractTest, NamesAreFoundInAnyCase) {
  Put(Path("Trace.Log"), "x");
  EXPECT_EQ(Content(Path("tRACE.lOG")), "x");
  EXPECT_EQ(Refusal(Path("TRACE.LOG"), kWrite, kShareRead, win::kCreateNew), win::kErrorFileExists);
  // Trailing dots and blanks of the last name are dropped.
  EXPECT_EQ(Content(Path("trace.log. ")), "x");
}

TEST_P(FilesContractTest, PointerReadAndWrite) {
  FilePtr file = Open(Path("data.bin"), kRead | kWrite, 0, win::kCreateAlways);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(Write(*file, "hello"));
  uint64_t position = 0;
  ASSERT_TRUE(files().SetFilePointer(*file, -2, win::kFileCurrent, &position));
  EXPECT_EQ(position, 3u);
  EXPECT_TRUE(Write(*file, "P!"));
  EXPECT_EQ(ReadAll(*file), "helP!");

  // Past the end a write extends the file; before the start is refused.
  ASSERT_TRUE(files().SetFilePointer(*file, 2, win::kFileEnd, &position));
  EXPECT_EQ(position, 7u);
  EXPECT_TRUE(Write(*file, "x"));
  uint64_t size = 0;
  ASSERT_TRUE(files().GetFileSize(*file, &size));
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(ReadAll(*file), std::string("helP!\0\0x", 8));
  EXPECT_FALSE(files().SetFilePointer(*file, -1, win::kFileBegin, &position));
  EXPECT_EQ(LastError(), kErrorNegativeSeek);
  EXPECT_FALSE(files().SetFilePointer(*file, 0, 7, &position));
  EXPECT_EQ(LastError(), win::kErrorInvalidParameter);

  // Reading at the end succeeds with nothing.
  ASSERT_TRUE(files().SetFilePointer(*file, 0, win::kFileEnd, nullptr));
  char byte = 0;
  uint32_t count = 1;
  EXPECT_TRUE(files().ReadFile(*file, &byte, 1, &count));
  EXPECT_EQ(count, 0u);
}

TEST_P(FilesContractTest, HandlesOnlyDoWhatTheirAccessAllows) {
  FilePtr writer = Open(Path("f"), kWrite, kShareBoth, win::kCreateAlways);
  FilePtr reader = Open(Path("f"), kRead, kShareBoth, win::kOpenExisting);
  ASSERT_NE(writer, nullptr);
  ASSERT_NE(reader, nullptr);
  char byte = 0;
  uint32_t count = 0;
  EXPECT_FALSE(files().ReadFile(*writer, &byte, 1, &count));
  EXPECT_EQ(LastError(), win::kErrorAccessDenied);
  EXPECT_FALSE(files().WriteFile(*reader, "x", 1, &count));
  EXPECT_EQ(LastError(), win::kErrorAccessDenied);
}

// The end moves with every writer's data; a handle that alone may write
// sees its own appends.
TEST_P(FilesContractTest, AppendingFollowsTheEndOfTheFile) {
  const std::string path = Path("append.log");
  FilePtr first = Open(path, kWrite, kShareBoth, win::kCreateAlways);
  FilePtr second = Open(path, kWrite, kShareBoth, win::kOpenExisting);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  for (const auto& [file, text] : {std::pair{first.get(), "ab"}, {second.get(), "cde"}, {first.get(), "f"}}) {
    ASSERT_TRUE(files().SetFilePointer(*file, 0, win::kFileEnd, nullptr));
    EXPECT_TRUE(Write(*file, text));
  }
  first.reset();
  second.reset();
  EXPECT_EQ(Content(path), "abcdef");

  FilePtr alone = Open(path, kWrite, kShareRead, win::kOpenAlways);
  ASSERT_NE(alone, nullptr);
  uint64_t size = 0;
  ASSERT_TRUE(files().GetFileSize(*alone, &size));
  EXPECT_EQ(size, 6u);
  for (const char* text : {"gh", "i"}) {
    ASSERT_TRUE(files().SetFilePointer(*alone, 0, win::kFileEnd, nullptr));
    EXPECT_TRUE(Write(*alone, text));
  }
  ASSERT_TRUE(files().GetFileSize(*alone, &size));
  EXPECT_EQ(size, 9u);
  alone.reset();
  EXPECT_EQ(Content(path), "abcdefghi");
}

TEST_P(FilesContractTest, ShareModesDecideWhoMayOpenBesideWhom) {
  const std::string path = Path("trace.log");

  // A writer that lets readers in: a second writer is refused, and so is a
  // reader that would not let the writer write.
  FilePtr writer = Open(path, kWrite, kShareRead, win::kOpenAlways);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(Refusal(path, kWrite, kShareBoth, win::kOpenAlways), kViolation);
  EXPECT_EQ(Refusal(path, kRead, kShareRead, win::kOpenExisting), kViolation);
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
  EXPECT_EQ(Refusal(path, kWrite, kShareBoth, win::kOpenAlways), kViolation);
  first.reset();
  EXPECT_EQ(Refusal(path, kWrite, kShareBoth, win::kOpenAlways), kViolation);
  second.reset();

  // Writers that share writing, beside each other and beside a reader.
  FilePtr writers[] = {Open(path, kWrite, kShareBoth, win::kOpenAlways),
                       Open(path, kWrite, kShareBoth, win::kOpenAlways),
                       Open(path, kRead, kShareBoth, win::kOpenExisting)};
  for (const FilePtr& open : writers) EXPECT_NE(open, nullptr);
  EXPECT_EQ(Refusal(path, kRead, kShareRead, win::kOpenExisting), kViolation);
}

TEST_P(FilesContractTest, AnotherProcessesOpenExcludesAsOneOfThisProcess) {
  const std::string path = Path("fenratrace1.log");
  Put(path, "kept");
  FilePtr held = other_process().CreateFile(path, kWrite, kShareRead, win::kOpenAlways);
  ASSERT_NE(held, nullptr);

  EXPECT_EQ(Refusal(path, kWrite, kShareRead, win::kOpenAlways), kViolation);
  // Refused before it could truncate.
  EXPECT_EQ(Refusal(path, kWrite, kShareRead, win::kCreateAlways), kViolation);
  EXPECT_EQ(Content(path), "kept");
  held.reset();

  // And the other way round.
  FilePtr mine = Open(path, kRead, 0, win::kOpenExisting);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(other_process().CreateFile(path, kRead, kShareBoth, win::kOpenExisting), nullptr);
  EXPECT_EQ(LastError(), kViolation);
  mine.reset();
  EXPECT_NE(other_process().CreateFile(path, kWrite, kShareRead, win::kCreateAlways), nullptr);
}

// A trusted open takes the process's own files, new or old (kCreateAlways
// cuts them), and refuses what another account could have planted, leaving
// it and what it leads to as they are: a second name of another file, a
// symbolic link, a file of another owner.
TEST_P(FilesContractTest, ATrustedOpenRefusesWhatAnotherAccountCouldHavePlanted) {
  auto trusted = [&](const std::string& path, uint32_t disposition) {
    harness().kernel().SetLastError(0xDEAD);
    FilePtr file = files().CreateTrustedFile(path, kWrite, kShareRead, disposition);
    return file ? kOpened : LastError();
  };
  const std::string own = Path("own.log");
  Put(own, "kept");
  EXPECT_EQ(trusted(own, win::kOpenAlways), kOpened);
  EXPECT_EQ(LastError(), win::kErrorAlreadyExists);
  EXPECT_EQ(Content(own), "kept");
  EXPECT_EQ(trusted(own, win::kCreateAlways), kOpened);
  EXPECT_EQ(Content(own), "");

  const std::string target = Path("target.dat");
  Put(target, "not yours");
  struct Plant {
    const char* what;
    std::string path;
    std::function<bool()> make;
  };
  const Plant plants[] = {
      {"a second name", Path("linked.log"), [&] { return harness().MakeHardLink(target, Path("linked.log")); }},
      {"a symbolic link", Path("symbolic.log"), [&] { return harness().MakeSymbolicLink(target, Path("symbolic.log")); }},
      {"another account's file", Path("theirs.log"),
       [&] {
         Put(Path("theirs.log"), "theirs");
         return harness().GiveToAnotherAccount(Path("theirs.log"));
       }},
  };
  for (const Plant& plant : plants) {
    if (!plant.make()) {
      std::printf("[   NOTE   ] %s cannot be made here\n", plant.what);
      continue;
    }
    for (uint32_t disposition : {win::kOpenAlways, win::kOpenExisting, win::kCreateAlways, win::kTruncateExisting})
      EXPECT_EQ(trusted(plant.path, disposition), win::kErrorAccessDenied) << plant.what << ", " << disposition;
    EXPECT_EQ(Content(target), "not yours") << plant.what;
  }
  EXPECT_EQ(Content(Path("theirs.log")), "theirs");
}

TEST_P(FilesContractTest, IniNumbersAreReadAsThePlatformReadsThem) {
  struct Case {
    const char* value;
    uint32_t expected;
  };
  const Case cases[] = {
      {"1200", 1200},      {"+5", 5},          {"-1", 4294967295u},
      {"42A94967297", 42}, {"B4294967297", 0}, {"abc", 0},
      {"4294967296", 0},   {"4294967297", 1},  {"-4294967297", 4294967295u},
      {"\"12\"", 12},      {"'12'", 12},       {"\"12'", 0},
      {"12 34", 12},       {"- 5", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadIni(std::string("[MODE]\r\nSIMPLEX_FILTER_TIME=") + c.value + "\r\n"), c.expected) << c.value;
  }
}

// Names ignore case and blanks; only the first section of the name and its
// first line of the key count; a missing or empty entry, or a missing file,
// gives the default.
TEST_P(FilesContractTest, WhereAnIniValueIsFound) {
  struct Case {
    const char* text;
    const char* section;
    const char* key;
    uint32_t expected;
  };
  for (const Case& c : {
           Case{"; comment\n[ mode ]\n  simplex_filter_time   =   30  \n", "MODE", "SIMPLEX_FILTER_TIME", 30},
           Case{"[MODE]\nSIMPLEX_FILTER_TIME=1\n", " Mode ", "Simplex_Filter_Time ", 1},
           Case{"[MODE]\nA=1\n[MODE2]\nSIMPLEX_FILTER_TIME=2\n[MODE]\nSIMPLEX_FILTER_TIME=3\n", "MODE",
                "SIMPLEX_FILTER_TIME", 7},
           Case{"[MODE]\nSIMPLEX_FILTER_TIME=4\nSIMPLEX_FILTER_TIME=5\n", "MODE", "SIMPLEX_FILTER_TIME", 4},
           Case{"[OTHER]\nSIMPLEX_FILTER_TIME=5\n", "MODE", "SIMPLEX_FILTER_TIME", 7},
           Case{"[MODE]\nOTHER=5\n", "MODE", "SIMPLEX_FILTER_TIME", 7},
           Case{"[MODE]\nSIMPLEX_FILTER_TIME=\n", "MODE", "SIMPLEX_FILTER_TIME", 7},
           Case{"[MODE]\nSIMPLEX_FILTER_TIME\n", "MODE", "SIMPLEX_FILTER_TIME", 7},
       })
    EXPECT_EQ(ReadIni(c.text, c.section, c.key, 7), c.expected) << c.text;
  EXPECT_EQ(ReadIni("", "MODE", "SIMPLEX_FILTER_TIME", -1), 4294967295u);
  EXPECT_EQ(files().GetPrivateProfileInt("MODE", "X", 7, Path("none.ini")), 7u);
  // So does a file another process holds without sharing.
  ReadIni("[MODE]\nSIMPLEX_FILTER_TIME=5\n");
  FilePtr held = other_process().CreateFile(Path("FENRA.ini"), kWrite, 0, win::kOpenExisting);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(files().GetPrivateProfileInt("MODE", "SIMPLEX_FILTER_TIME", 3, Path("FENRA.ini")), 3u);
}

}  // namespace fenra::testing
