#include "platform/sim/sim_registry.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "support/registry_sample.h"
#include "unit/platform/sim/test_support.h"

namespace fenra::sim {
namespace {

using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

constexpr uint32_t kAll = win::kKeyAllAccess;
constexpr const char* kHeader = "Windows Registry Editor Version 5.00\n\n";
// Tests need no flush to disk.
const RegistryOptions kQuick{false, nullptr};

// What regedit writes for `text` (WTF-8): UTF-16LE with a byte-order mark, CR LF.
std::string RegeditBytes(const std::string& text) {
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::vector<uint8_t> utf16 = Wtf8ToUtf16Le(crlf);
  return "\xFF\xFE" + std::string(utf16.begin(), utf16.end());
}

const uint8_t* Bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

// Type and bytes of a value, "missing", or "no key".
std::string Value(SimRegistry& registry, Hive hive, const std::string& path, const char* name) {
  RegKeyPtr key;
  uint32_t type = 0;
  uint32_t size = 0;
  if (registry.OpenKey(hive, path, win::kKeyRead, &key) != 0) return "no key";
  if (registry.QueryValue(*key, name, &type, nullptr, &size) != 0) return "missing";
  std::string data(size, '\0');
  registry.QueryValue(*key, name, &type, reinterpret_cast<uint8_t*>(data.data()), &size);
  return std::to_string(type) + ":" + data;
}

class SimRegistryTest : public ::testing::Test {
 protected:
  std::filesystem::path file() const { return dir_.path() / "registry.reg"; }
  RegKeyPtr Create(SimRegistry& registry, Hive hive, const std::string& path) {
    RegKeyPtr key;
    EXPECT_EQ(registry.CreateKey(hive, path, kAll, &key, nullptr), 0) << path;
    return key;
  }
  // A directory where the temporary file goes makes every write fail.
  std::filesystem::path Block() {
    std::filesystem::path blocker = file();
    blocker += ".tmp";
    std::filesystem::create_directory(blocker);
    return blocker;
  }
  std::string ParseError(const std::string& text) {
    WriteFile(file(), text);
    try {
      SimRegistry registry(file(), kQuick);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "no error";
  }

  ScratchDir dir_;
};

// data/registry_sample.reg holds what regedit exports for the sample:
// scripts/wine-regedit-roundtrip compares it with Wine's export.
// The sample holds every type and the texts that need escaping; read back,
// it gives the same file.
TEST_F(SimRegistryTest, WritesTheFileAsRegeditExportsIt) {
  SimRegistry registry(file(), kQuick);
  ASSERT_EQ(fenra::testing::WriteRegistrySample(registry), 0);
  const std::string text = ReadFile(file());
  EXPECT_EQ(text, ReadFile(std::filesystem::path(FENRA_UNIT_TEST_DIR) / "platform/sim/data/registry_sample.reg"));
  RegHives hives;
  ParseRegText(text, "registry.reg", &hives);
  EXPECT_EQ(FormatRegText(hives), text);
}

// Data a string form cannot hold exactly, names and keys that need quoting.
TEST_F(SimRegistryTest, ReloadGivesBackEveryValueAndTheSameFile) {
  struct Case {
    const char* name;
    uint32_t type;
    std::string data;
  };
  const std::vector<Case> cases = {
      {"quote\" back\\ line\n", win::kRegSz, std::string("a\tb\0", 4)},
      {"embedded", win::kRegSz, std::string("one\0two\0", 8)},
      {"line break", win::kRegSz, std::string("one\r\ntwo\0", 9)},
      {"unterminated", win::kRegSz, "abc"},
      {"empty", win::kRegSz, ""},
      {"short dword", win::kRegDword, std::string("\x01\x02", 2)},
  };
  const std::string path = "SOFTWARE\\Key with spaces \xe6\x97\xa5\\[brackets]";
  {
    SimRegistry registry(file(), kQuick);
    RegKeyPtr key = Create(registry, Hive::kLocalMachine, path);
    for (const Case& c : cases) {
      // A buffer one longer whose last byte is not a NUL keeps every size exact.
      std::string buffer = c.data + "x";
      ASSERT_EQ(registry.SetValue(*key, c.name, c.type, Bytes(buffer.c_str()), static_cast<uint32_t>(c.data.size())), 0)
          << c.name;
    }
  }
  std::string text = ReadFile(file());
  SimRegistry reloaded(file(), kQuick);
  for (const Case& c : cases) {
    EXPECT_EQ(Value(reloaded, Hive::kLocalMachine, path, c.name), std::to_string(c.type) + ":" + c.data) << c.name;
  }
  RegHives hives;
  ParseRegText(text, "registry.reg", &hives);
  EXPECT_EQ(FormatRegText(hives), text);
}

TEST_F(SimRegistryTest, ReadsWhatPeopleAndRegeditWrite) {
  WriteFile(file(),
            "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
            "\r\n"
            "; settings of the monitor\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR\\QVMAgent\\FT]\r\n"
            "  \"SimplexCPU\" = dword:1E\r\n"
            "\"Installdir\"=\"C:\\\\Program Files\\\\FENRA\\\\\"\r\n"
            "\"Gone\"=\"soon\"\r\n"
            "\"Blob\"=hex:01,02,\\\r\n"
            "    03 , 04 ; the last bytes\r\n"
            "\r\n"
            "[hkey_local_machine\\software\\qor\\qvmagent\\ft]\r\n"
            "\"Gone\"=-\r\n"
            "\"Extra\"=\"merged\"\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Old\\Tree]\r\n"
            "\"x\"=\"y\"\r\n"
            "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n"
            "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NeverThere]\r\n");
  SimRegistry registry(file(), kQuick);
  const std::string ft = "SOFTWARE\\QOR\\QVMAgent\\FT";
  EXPECT_EQ(registry.GetDword(Hive::kLocalMachine, ft, "SimplexCPU"), 30u);
  EXPECT_EQ(registry.GetString(Hive::kLocalMachine, ft, "Installdir"), "C:\\Program Files\\FENRA\\");
  EXPECT_EQ(registry.GetString(Hive::kLocalMachine, ft, "Extra"), "merged");
  EXPECT_EQ(Value(registry, Hive::kLocalMachine, ft, "Gone"), "missing");
  EXPECT_EQ(Value(registry, Hive::kLocalMachine, ft, "Blob"), "3:\x01\x02\x03\x04");
  RegKeyPtr key;
  EXPECT_EQ(registry.OpenKey(Hive::kLocalMachine, "SOFTWARE\\Old", win::kKeyRead, &key), 2);
}

// REGEDIT4 files hold string data in the ANSI code page, not UTF-16.
TEST_F(SimRegistryTest, ReadsRegedit4Files) {
  WriteFile(file(),
            "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\AppID]\n\"Path\"=hex(2):25,53,52,25,00\n\"Text\"=\"\xe6\x97\xa5\"\n");
  SimRegistry registry(file(), kQuick);
  EXPECT_EQ(Value(registry, Hive::kClassesRoot, "AppID", "Path"), std::string("2:%SR%\0", 7));
  EXPECT_EQ(registry.GetString(Hive::kClassesRoot, "AppID", "Text"), "\xe6\x97\xa5");
}

TEST_F(SimRegistryTest, ParseErrorsNameTheFileTheLineAndTheFault) {
  const std::string key = std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\X]\n";
  struct Case {
    std::string text;
    int line;
    std::string fault;
  };
  const std::vector<Case> cases = {
      {"", 1, "the first line is not"},
      {"REGEDIT5\n", 1, "the first line is not"},
      {std::string(kHeader) + "[HKEY_LOCAL_MACHIN\\X]\n", 3, "unknown root key \"HKEY_LOCAL_MACHIN\""},
      {std::string(kHeader) + "[HKEY_USERS\\X]\n\"a\"=what\n", 4, "unknown value data"},
      {std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\X\n", 3, "closing ']'"},
      {std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\\\X]\n", 3, "empty key name"},
      {std::string(kHeader) + "\"a\"=\"b\"\n", 3, "belongs to no key"},
      {std::string(kHeader) + "stray words\n", 3, "expected a [key] line"},
      {key + "\"a\"=\"C:\\Temp\"\n", 4, "unknown escape \"\\T\""},
      {key + "\"a\"=\"open\n", 4, "without its closing quote"},
      {key + "\"a\" \"b\"\n", 4, "expected '='"},
      {key + "\"a\"=what\n", 4, "unknown value data"},
      {key + "\"a\"=\"b\" c\n", 4, "unexpected text"},
      {key + "\"a\"=dword:123456789\n", 4, "1 to 8 hex digits"},
      {key + "\"a\"=hex:01,zz\n", 4, "expected a hex byte"},
      {key + "\"a\"=hex:0102\n", 4, "expected ','"},
      {key + "\"a\"=hex:01,\\\n  02,\\\n", 5, "past the end of the file"},
      {key + "\"a\"=\"\xff\"\n", 4, "not valid UTF-8"},
  };
  for (const Case& c : cases) {
    std::string message = ParseError(c.text);
    std::string where = file().string() + ":" + std::to_string(c.line) + ": ";
    EXPECT_NE(message.find(where), std::string::npos) << message << "\nexpected " << where;
    EXPECT_NE(message.find(c.fault), std::string::npos) << message << "\nexpected " << c.fault;
    EXPECT_EQ(ReadFile(file()), c.text);  // a file that cannot be parsed is never replaced
  }
}

// A missing file is an empty registry, created at the first change; no
// temporary file stays. (That every change reaches the file is the
// contract's: a second registry on the file stands for another process.)
TEST_F(SimRegistryTest, AMissingFileIsAnEmptyRegistryWrittenAtTheFirstChange) {
  SimRegistry registry(file(), kQuick);
  RegKeyPtr key;
  EXPECT_EQ(registry.OpenKey(Hive::kLocalMachine, "SOFTWARE", win::kKeyRead, &key), 2);
  EXPECT_EQ(registry.OpenKey(Hive::kLocalMachine, "", win::kKeyRead, &key), 0);
  EXPECT_FALSE(std::filesystem::exists(file()));
  key = Create(registry, Hive::kLocalMachine, "SOFTWARE\\A\\B");
  SimRegistry reloaded(file(), kQuick);
  EXPECT_EQ(Value(reloaded, Hive::kLocalMachine, "SOFTWARE\\A\\B", nullptr), "missing");
  EXPECT_FALSE(std::filesystem::exists(file().string() + ".tmp"));
}

TEST_F(SimRegistryTest, AFailedWriteLeavesMemoryAndFileAsTheyWere) {
  SimRegistry registry(file(), kQuick);
  RegKeyPtr key = Create(registry, Hive::kLocalMachine, "SOFTWARE\\Kept");
  ASSERT_EQ(registry.SetValue(*key, "v", win::kRegSz, Bytes("old"), 4), 0);
  const std::string before = ReadFile(file());

  std::filesystem::path blocker = Block();
  const auto denied = static_cast<int32_t>(win::kErrorAccessDenied);
  EXPECT_EQ(registry.SetValue(*key, "v", win::kRegSz, Bytes("new"), 4), denied);
  EXPECT_EQ(registry.SetValue(*key, "w", win::kRegSz, Bytes("new"), 4), denied);
  EXPECT_EQ(registry.DeleteValue(*key, "v"), denied);
  RegKeyPtr child;
  EXPECT_EQ(registry.CreateKey(Hive::kLocalMachine, "SOFTWARE\\Kept\\Child\\Deeper", kAll, &child, nullptr), denied);
  EXPECT_EQ(registry.DeleteKey(Hive::kLocalMachine, "SOFTWARE\\Kept"), denied);

  EXPECT_EQ(ReadFile(file()), before);
  EXPECT_EQ(Value(registry, Hive::kLocalMachine, "SOFTWARE\\Kept", "v"), std::string("1:old\0", 6));
  EXPECT_EQ(Value(registry, Hive::kLocalMachine, "SOFTWARE\\Kept", "w"), "missing");
  EXPECT_EQ(registry.OpenKey(Hive::kLocalMachine, "SOFTWARE\\Kept\\Child", win::kKeyRead, &child), 2);

  // Once the disk takes writes again, memory and file agree.
  std::filesystem::remove(blocker);
  ASSERT_EQ(registry.SetValue(*key, "w", win::kRegSz, Bytes("later"), 6), 0);
  SimRegistry reloaded(file(), kQuick);
  EXPECT_EQ(Value(reloaded, Hive::kLocalMachine, "SOFTWARE\\Kept", "v"), std::string("1:old\0", 6));
  EXPECT_EQ(Value(reloaded, Hive::kLocalMachine, "SOFTWARE\\Kept", "w"), std::string("1:later\0", 8));
}

TEST_F(SimRegistryTest, ABatchWritesTheFileOnceAtItsEnd) {
  SimRegistry registry(file(), kQuick);
  ASSERT_EQ(registry.SetDword(Hive::kLocalMachine, "SOFTWARE\\B", "before", 1), 0);
  const std::string before = ReadFile(file());
  EXPECT_EQ(registry.Batch([&] {
    registry.SetDword(Hive::kLocalMachine, "SOFTWARE\\B", "one", 1);
    registry.Batch([&] { registry.SetDword(Hive::kLocalMachine, "SOFTWARE\\B", "two", 2); });
    EXPECT_EQ(ReadFile(file()), before);  // nothing written inside the batch
  }),
            0);
  SimRegistry reloaded(file(), kQuick);
  EXPECT_EQ(reloaded.GetDword(Hive::kLocalMachine, "SOFTWARE\\B", "two"), 2u);

  // A batch whose write fails leaves the registry as the file holds it.
  std::filesystem::path blocker = Block();
  EXPECT_EQ(registry.Batch([&] { registry.SetDword(Hive::kLocalMachine, "SOFTWARE\\B", "lost", 3); }),
            static_cast<int32_t>(win::kErrorAccessDenied));
  EXPECT_EQ(registry.GetDword(Hive::kLocalMachine, "SOFTWARE\\B", "lost"), std::nullopt);
  EXPECT_EQ(registry.GetDword(Hive::kLocalMachine, "SOFTWARE\\B", "two"), 2u);
  std::filesystem::remove(blocker);

  // A batch that throws still ends, and what it changed is written.
  EXPECT_THROW(registry.Batch([&] {
    registry.SetDword(Hive::kLocalMachine, "SOFTWARE\\B", "three", 3);
    throw std::runtime_error("x");
  }),
               std::runtime_error);
  ASSERT_EQ(registry.SetDword(Hive::kLocalMachine, "SOFTWARE\\B", "four", 4), 0);
  SimRegistry again(file(), kQuick);
  EXPECT_EQ(again.GetDword(Hive::kLocalMachine, "SOFTWARE\\B", "three"), 3u);
  EXPECT_EQ(again.GetDword(Hive::kLocalMachine, "SOFTWARE\\B", "four"), 4u);
}

// Bytes that are no UTF-8 do not survive a string's conversion to UTF-16; binary data is kept as it is.
TEST_F(SimRegistryTest, StringsAreKeptAsTheAnsiConversionLeavesThem) {
  SimRegistry registry(file(), kQuick);
  RegKeyPtr key = Create(registry, Hive::kLocalMachine, "SOFTWARE");
  ASSERT_EQ(registry.SetValue(*key, "bad", win::kRegSz, Bytes("\xff\x41"), 3), 0);
  EXPECT_EQ(Value(registry, Hive::kLocalMachine, "SOFTWARE", "bad"), std::string("1:\xef\xbf\xbd\x41\0", 7));
  ASSERT_EQ(registry.SetValue(*key, "raw", win::kRegBinary, Bytes("\xff\x41"), 2), 0);
  SimRegistry reloaded(file(), kQuick);
  EXPECT_EQ(Value(reloaded, Hive::kLocalMachine, "SOFTWARE", "raw"), "3:\xff\x41");
}

TEST_F(SimRegistryTest, KeyNamesTheFileCannotHoldAreRefused) {
  SimRegistry registry(file(), kQuick);
  RegKeyPtr key;
  EXPECT_EQ(registry.CreateKey(Hive::kLocalMachine, "SOFTWARE\\two\nlines", kAll, &key, nullptr),
            static_cast<int32_t>(win::kErrorInvalidParameter));
  EXPECT_EQ(registry.OpenKey(Hive::kLocalMachine, "SOFTWARE", win::kKeyRead, &key), 2);
}

// UTF-16 that is no text (an unpaired surrogate, an odd byte count) reads
// as U+FFFD through the ANSI functions and is written back as it was.
TEST_F(SimRegistryTest, Utf16ThatIsNoTextIsWrittenBackAsItWas) {
  WriteFile(file(), RegeditBytes(std::string(kHeader) +
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Odd]\n"
                                 "\"Lone\"=\"\xed\xa0\x80" "A\"\n"  // U+D800, as regedit writes it
                                 "\"Half\"=hex(1):61,00,62\n"
                                 "\"List\"=hex(7):00,dc,00,00,00,00\n"));
  SimRegistry registry(file(), kQuick);
  EXPECT_EQ(Value(registry, Hive::kLocalMachine, "SOFTWARE\\Odd", "Lone"), std::string("1:\xef\xbf\xbd" "A\0", 7));
  EXPECT_EQ(Value(registry, Hive::kLocalMachine, "SOFTWARE\\Odd", "Half"), "1:a");
  ASSERT_EQ(registry.SetDword(Hive::kLocalMachine, "SOFTWARE\\Odd", "Touch", 1), 0);

  std::string bytes = ReadFile(file());
  std::string text = Utf16LeToUtf8(reinterpret_cast<const uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
  EXPECT_NE(text.find("\"Lone\"=hex(1):00,d8,41,00,00,00\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Half\"=hex(1):61,00,62\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"List\"=hex(7):00,dc,00,00,00,00\r\n"), std::string::npos) << text;
}

TEST_F(SimRegistryTest, KeysOfRootsNotSimulatedAreWrittenBackAsTheyStand) {
  const std::string user =
      "[HKEY_CURRENT_USER\\Software\\Editor]\n"
      "; a comment stays\n"
      "\"Recent\"=hex(7):61,00,00,00,\\\n"
      "  00,00\n\n";
  const std::string users =
      "[-HKEY_USERS\\S-1-5-18\\Gone]\n\n"
      "[HKEY_USERS\\.DEFAULT\\X]\n"
      "\"v\"=dword:00000001\n\n";
  const std::string mine = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"x\"=\"1\"\n";
  WriteFile(file(), RegeditBytes(std::string(kHeader) + users + mine + "\n" + user));
  SimRegistry registry(file(), kQuick);
  ASSERT_EQ(registry.SetDword(Hive::kLocalMachine, "SOFTWARE\\A", "y", 2), 0);
  // In the order of the roots: HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS.
  EXPECT_EQ(ReadFile(file()), RegeditBytes(std::string(kHeader) + user + "[HKEY_LOCAL_MACHINE]\n\n" +
                                           "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n" + mine +
                                           "\"y\"=dword:00000002\n\n" + users));
}

// Two registries on one file stand for two processes of the machine; each
// is written by two threads, to keys of their own and to a shared one.
TEST_F(SimRegistryTest, ConcurrentWritersLoseNothing) {
  SimRegistry registries[2] = {SimRegistry(file(), kQuick), SimRegistry(file(), kQuick)};
  auto own_key = [](int t) { return "SOFTWARE\\T" + std::to_string(t); };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (uint32_t i = 0; i < 20; ++i) {
        registries[t % 2].SetDword(Hive::kLocalMachine, own_key(t), std::to_string(i), i);
        registries[t % 2].SetDword(Hive::kLocalMachine, "SOFTWARE\\Shared", std::to_string(t * 100 + i), i);
        registries[t % 2].GetDword(Hive::kLocalMachine, own_key(t), std::to_string(i));
      }
    });
  for (std::thread& thread : threads) thread.join();
  SimRegistry reloaded(file(), kQuick);
  for (int t = 0; t < 4; ++t) {
    for (uint32_t i = 0; i < 20; ++i) {
      EXPECT_EQ(reloaded.GetDword(Hive::kLocalMachine, own_key(t), std::to_string(i)), i);
      EXPECT_EQ(reloaded.GetDword(Hive::kLocalMachine, "SOFTWARE\\Shared", std::to_string(t * 100 + i)), i);
    }
  }
}

TEST_F(SimRegistryTest, AnEditMadeWhileInUseIsSeenAndNeverOverwritten) {
  WriteFailureNotice notice;
  std::chrono::steady_clock::time_point now{};
  const auto interval = std::chrono::milliseconds(200);
  SimRegistry registry(file(), RegistryOptions{false, &notice, interval, [&now] { return now; }});
  const std::string trace_key = "SOFTWARE\\QOR\\QVMAlertMan";
  RegKeyPtr trace = Create(registry, Hive::kLocalMachine, trace_key);
  ASSERT_EQ(registry.SetString(Hive::kLocalMachine, trace_key, "TempDir", "C:\\Old\\"), 0);
  RegKeyPtr doomed = Create(registry, Hive::kLocalMachine, "SOFTWARE\\Doomed");
  EXPECT_EQ(registry.GetString(Hive::kLocalMachine, trace_key, "TempDir"), "C:\\Old\\");

  // A person's edit, saved by an editor in UTF-8: the first key open once
  // the interval has passed since the last look takes it in, and keys open
  // from before see it.
  WriteFile(file(), std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR\\QVMAlertMan]\n"
                                           "\"TempDir\"=\"C:\\\\Newer\\\\\"\n");
  now += interval - std::chrono::nanoseconds(1);
  EXPECT_EQ(registry.GetString(Hive::kLocalMachine, trace_key, "TempDir"), "C:\\Old\\");
  now += std::chrono::nanoseconds(1);
  EXPECT_EQ(registry.GetString(Hive::kLocalMachine, trace_key, "TempDir"), "C:\\Newer\\");
  uint32_t size = 0;
  EXPECT_EQ(registry.QueryValue(*trace, "TempDir", nullptr, nullptr, &size), 0);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(registry.QueryValue(*doomed, "x", nullptr, nullptr, &size), static_cast<int32_t>(win::kErrorKeyDeleted));
  // This registry's next change keeps the edit.
  ASSERT_EQ(registry.SetDword(Hive::kLocalMachine, trace_key, "Level", 1), 0);
  SimRegistry other(file(), kQuick);
  EXPECT_EQ(other.GetString(Hive::kLocalMachine, trace_key, "TempDir"), "C:\\Newer\\");

  // An edit that cannot be parsed: reads keep what was read, changes are
  // refused and the file stays; said once.
  const std::string broken = std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\n";
  WriteFile(file(), broken);
  ::testing::internal::CaptureStderr();
  now += interval;
  EXPECT_EQ(registry.GetString(Hive::kLocalMachine, trace_key, "TempDir"), "C:\\Newer\\");
  EXPECT_EQ(registry.SetDword(Hive::kLocalMachine, trace_key, "Level", 2), 1009);  // ERROR_BADDB
  EXPECT_EQ(registry.SetDword(Hive::kLocalMachine, trace_key, "Level", 3), 1009);
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(ReadFile(file()), broken);
  EXPECT_EQ(said.rfind(std::string(program_invocation_short_name) + ": " + file().string() + ":3: ", 0), 0u) << said;
  EXPECT_EQ(said.find("fenra:", 1), std::string::npos) << said;

  WriteFile(file(), std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR\\QVMAlertMan]\n\"Level\"=dword:7\n");
  now += interval;
  EXPECT_EQ(registry.GetDword(Hive::kLocalMachine, trace_key, "Level"), 7u);
  EXPECT_EQ(registry.SetDword(Hive::kLocalMachine, trace_key, "Level", 4), 0);
}

// Reads take the in-memory lock only; the file is written outside it. Here
// a write is stuck in a full pipe while a read answers.
TEST_F(SimRegistryTest, ReadsDoNotWaitForAWriteInProgress) {
  SimRegistry registry(file(), kQuick);
  ASSERT_EQ(registry.SetString(Hive::kLocalMachine, "SOFTWARE\\QOR\\QVMAlertMan", "TempDir", "C:\\T\\"), 0);
  RegKeyPtr key = Create(registry, Hive::kLocalMachine, "SOFTWARE\\Big");
  std::vector<uint8_t> big(100000, 0xab);  // the file outgrows a pipe's buffer
  ASSERT_EQ(registry.SetValue(*key, "Blob", win::kRegBinary, big.data(), static_cast<uint32_t>(big.size())), 0);
  std::filesystem::path temp = file();
  temp += ".tmp";
  ASSERT_EQ(mkfifo(temp.c_str(), 0600), 0);

  auto writer = std::async(std::launch::async, [&] { return registry.SetDword(Hive::kLocalMachine, "SOFTWARE\\Big", "n", 1); });
  int pipe = open(temp.c_str(), O_RDONLY);  // returns once the writer has opened it
  ASSERT_GE(pipe, 0);
  auto reader = std::async(std::launch::async, [&] {
    return registry.GetString(Hive::kLocalMachine, "SOFTWARE\\QOR\\QVMAlertMan", "TempDir");
  });
  bool answered = reader.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  char buffer[65536];
  while (read(pipe, buffer, sizeof(buffer)) > 0) {
  }
  close(pipe);
  EXPECT_TRUE(answered);
  EXPECT_EQ(reader.get(), "C:\\T\\");
  EXPECT_EQ(writer.get(), 0);
}

}  // namespace
}  // namespace fenra::sim
