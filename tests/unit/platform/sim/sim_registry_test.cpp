#include "platform/sim/sim_registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "unit/platform/sim/test_support.h"

namespace fenra::sim {
namespace {

using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

constexpr uint32_t kAll = win::kKeyAllAccess;
constexpr const char* kHeader = "Windows Registry Editor Version 5.00\n\n";

const uint8_t* Bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

// Type and bytes of a value, or "missing".
std::string Value(SimRegistry& registry, Hive hive, const std::string& path, const char* name) {
  RegKeyPtr key;
  uint32_t type = 0;
  uint32_t size = 0;
  if (registry.OpenKey(hive, path, win::kKeyRead, &key) != 0 ||
      registry.QueryValue(*key, name, &type, nullptr, &size) != 0)
    return "missing";
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
    blocker += "." + std::to_string(getpid()) + ".tmp";
    std::filesystem::create_directory(blocker);
    return blocker;
  }
  std::string ParseError(const std::string& text) {
    WriteFile(file(), text);
    try {
      SimRegistry registry(file());
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "no error";
  }

  ScratchDir dir_;
};

TEST_F(SimRegistryTest, WritesTheFileAsRegeditExportsIt) {
  SimRegistry registry(file());
  registry.SetString(Hive::kLocalMachine, "SOFTWARE\\QOR\\QVMAlertMan", "TempDir", "C:\\Temp\\ \"q\"");
  registry.SetDword(Hive::kLocalMachine, "SOFTWARE\\QOR\\QVMAgent\\FT", "SimplexCPU", 30);
  RegKeyPtr ft = Create(registry, Hive::kLocalMachine, "SOFTWARE\\QOR\\QVMAgent\\FT");
  registry.SetValue(*ft, "Raw", win::kRegSz, Bytes("abcd"), 3);
  registry.SetValue(*ft, nullptr, win::kRegSz, Bytes("def"), 4);
  std::vector<uint8_t> bytes(30);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  registry.SetValue(*ft, "Bin", win::kRegBinary, bytes.data(), static_cast<uint32_t>(bytes.size()));
  registry.SetString(Hive::kClassesRoot, "AppID\\{X}", "LocalService", "FENRA");

  EXPECT_EQ(ReadFile(file()),
            std::string(kHeader) +
                "[HKEY_CLASSES_ROOT\\AppID]\n\n"
                "[HKEY_CLASSES_ROOT\\AppID\\{X}]\n"
                "\"LocalService\"=\"FENRA\"\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR\\QVMAgent]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR\\QVMAgent\\FT]\n"
                "@=\"def\"\n"
                "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\n"
                "  17,18,19,1a,1b,1c,1d\n"
                "\"Raw\"=hex(1):61,00,62,00,63,00\n"
                "\"SimplexCPU\"=dword:0000001e\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR\\QVMAlertMan]\n"
                "\"TempDir\"=\"C:\\\\Temp\\\\ \\\"q\\\"\"\n\n");
}

TEST_F(SimRegistryTest, ReloadGivesBackEveryValueAndTheSameFile) {
  struct Case {
    const char* name;
    uint32_t type;
    std::string data;
  };
  std::vector<uint8_t> long_binary(300);
  for (size_t i = 0; i < long_binary.size(); ++i) long_binary[i] = static_cast<uint8_t>(i * 7);
  const std::vector<Case> cases = {
      {"", win::kRegSz, std::string("default\0", 8)},
      {"Japanese \xe6\x97\xa5\xe6\x9c\xac", win::kRegSz,
       std::string("\xe3\x82\xa2\xe3\x83\xa9\xe3\x83\xbc\xe3\x83\x88\0", 13)},
      {"quote\" back\\ line\n", win::kRegSz, std::string("a\tb\0", 4)},
      {"embedded", win::kRegSz, std::string("one\0two\0", 8)},
      {"line break", win::kRegSz, std::string("one\r\ntwo\0", 9)},
      {"unterminated", win::kRegSz, "abc"},
      {"empty", win::kRegSz, ""},
      {"expand", win::kRegExpandSz, std::string("%SystemRoot%\\x\0", 15)},
      {"multi", win::kRegMultiSz, std::string("a\0\xe6\x97\xa5\0\0", 7)},
      {"qword", win::kRegQword, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
      {"short dword", win::kRegDword, std::string("\x01\x02", 2)},
      {"none", win::kRegNone, ""},
      {"long", win::kRegBinary, std::string(long_binary.begin(), long_binary.end())},
      {"odd type", 0x12345678, "\xff"},
  };
  const std::string path = "SOFTWARE\\Key with spaces \xe6\x97\xa5\\[brackets]";
  {
    SimRegistry registry(file());
    RegKeyPtr key = Create(registry, Hive::kLocalMachine, path);
    for (const Case& c : cases) {
      // A buffer one longer whose last byte is not a NUL keeps every size exact.
      std::string buffer = c.data + "x";
      ASSERT_EQ(registry.SetValue(*key, c.name, c.type, Bytes(buffer.c_str()), static_cast<uint32_t>(c.data.size())), 0)
          << c.name;
    }
  }
  std::string text = ReadFile(file());
  SimRegistry reloaded(file());
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
  SimRegistry registry(file());
  const std::string ft = "SOFTWARE\\QOR\\QVMAgent\\FT";
  EXPECT_EQ(registry.GetDword(Hive::kLocalMachine, ft, "SimplexCPU"), 30u);
  EXPECT_EQ(registry.GetString(Hive::kLocalMachine, ft, "Installdir"), "C:\\Program Files\\FENRA\\");
  EXPECT_EQ(registry.GetString(Hive::kLocalMachine, ft, "Extra"), "merged");
  EXPECT_EQ(Value(registry, Hive::kLocalMachine, ft, "Gone"), "missing");
  EXPECT_EQ(Value(registry, Hive::kLocalMachine, ft, "Blob"), "3:\x01\x02\x03\x04");
  EXPECT_EQ(Value(registry, Hive::kLocalMachine, "SOFTWARE\\Old\\Tree", "x"), "missing");
  RegKeyPtr key;
  EXPECT_EQ(registry.OpenKey(Hive::kLocalMachine, "SOFTWARE\\Old", win::kKeyRead, &key), 2);
}

TEST_F(SimRegistryTest, ReadsRegedit4AndUtf16Files) {
  // REGEDIT4 files hold string data in the ANSI code page, not UTF-16.
  WriteFile(file(),
            "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\AppID]\n\"Path\"=hex(2):25,53,52,25,00\n\"Text\"=\"\xe6\x97\xa5\"\n");
  {
    SimRegistry registry(file());
    EXPECT_EQ(Value(registry, Hive::kClassesRoot, "AppID", "Path"), std::string("2:%SR%\0", 7));
    EXPECT_EQ(registry.GetString(Hive::kClassesRoot, "AppID", "Text"), "\xe6\x97\xa5");
  }
  std::string utf8 = std::string(kHeader) + "[HKEY_CLASSES_ROOT\\AppID]\n\"Text\"=\"\xe6\x97\xa5\"\n";
  std::vector<uint8_t> utf16 = Utf8ToUtf16Le(utf8);
  WriteFile(file(), "\xFF\xFE" + std::string(utf16.begin(), utf16.end()));
  SimRegistry registry(file());
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
      {std::string(kHeader) + "[HKEY_CURRENT_USER\\X]\n", 3, "unknown root key \"HKEY_CURRENT_USER\""},
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
      {key + "\"a\"=hex(1):61\n", 4, "even byte count"},
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

// A missing file is an empty registry, created at the first change.
TEST_F(SimRegistryTest, EveryChangeIsOnDiskAndNoTemporaryFileStays) {
  SimRegistry registry(file());
  RegKeyPtr key;
  EXPECT_EQ(registry.OpenKey(Hive::kLocalMachine, "SOFTWARE", win::kKeyRead, &key), 2);
  EXPECT_EQ(registry.OpenKey(Hive::kLocalMachine, "", win::kKeyRead, &key), 0);
  EXPECT_FALSE(std::filesystem::exists(file()));
  auto on_disk = [this](const std::string& path, const char* name) {
    SimRegistry reloaded(file());
    return Value(reloaded, Hive::kLocalMachine, path, name);
  };
  key = Create(registry, Hive::kLocalMachine, "SOFTWARE\\A\\B");
  EXPECT_EQ(on_disk("SOFTWARE\\A\\B", nullptr), "missing");
  ASSERT_EQ(registry.SetValue(*key, "v", win::kRegBinary, Bytes("\x01"), 1), 0);
  EXPECT_EQ(on_disk("SOFTWARE\\A\\B", "v"), "3:\x01");
  ASSERT_EQ(registry.SetValue(*key, "v", win::kRegBinary, Bytes("\x02"), 1), 0);
  EXPECT_EQ(on_disk("SOFTWARE\\A\\B", "v"), "3:\x02");
  ASSERT_EQ(registry.DeleteValue(*key, "v"), 0);
  EXPECT_EQ(on_disk("SOFTWARE\\A\\B", "v"), "missing");
  ASSERT_EQ(registry.DeleteKey(Hive::kLocalMachine, "SOFTWARE\\A\\B"), 0);
  SimRegistry reloaded(file());
  RegKeyPtr gone;
  EXPECT_EQ(reloaded.OpenKey(Hive::kLocalMachine, "SOFTWARE\\A\\B", win::kKeyRead, &gone), 2);
  EXPECT_EQ(reloaded.OpenKey(Hive::kLocalMachine, "SOFTWARE\\A", win::kKeyRead, &gone), 0);

  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"registry.reg"});
}

TEST_F(SimRegistryTest, AFailedWriteLeavesMemoryAndFileAsTheyWere) {
  SimRegistry registry(file());
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
  SimRegistry reloaded(file());
  EXPECT_EQ(Value(reloaded, Hive::kLocalMachine, "SOFTWARE\\Kept", "v"), std::string("1:old\0", 6));
  EXPECT_EQ(Value(reloaded, Hive::kLocalMachine, "SOFTWARE\\Kept", "w"), std::string("1:later\0", 8));
}

TEST_F(SimRegistryTest, ABatchWritesTheFileOnceAtItsEnd) {
  SimRegistry registry(file());
  ASSERT_EQ(registry.SetDword(Hive::kLocalMachine, "SOFTWARE\\B", "before", 1), 0);
  const std::string before = ReadFile(file());
  EXPECT_EQ(registry.Batch([&] {
    registry.SetDword(Hive::kLocalMachine, "SOFTWARE\\B", "one", 1);
    registry.Batch([&] { registry.SetDword(Hive::kLocalMachine, "SOFTWARE\\B", "two", 2); });
    EXPECT_EQ(ReadFile(file()), before);  // nothing written inside the batch
  }),
            0);
  SimRegistry reloaded(file());
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
  SimRegistry again(file());
  EXPECT_EQ(again.GetDword(Hive::kLocalMachine, "SOFTWARE\\B", "three"), 3u);
  EXPECT_EQ(again.GetDword(Hive::kLocalMachine, "SOFTWARE\\B", "four"), 4u);
}

// Bytes that are no UTF-8 do not survive a string's conversion to UTF-16; binary data is kept as it is.
TEST_F(SimRegistryTest, StringsAreKeptAsTheAnsiConversionLeavesThem) {
  SimRegistry registry(file());
  RegKeyPtr key = Create(registry, Hive::kLocalMachine, "SOFTWARE");
  ASSERT_EQ(registry.SetValue(*key, "bad", win::kRegSz, Bytes("\xff\x41"), 3), 0);
  EXPECT_EQ(Value(registry, Hive::kLocalMachine, "SOFTWARE", "bad"), std::string("1:\xef\xbf\xbd\x41\0", 7));
  ASSERT_EQ(registry.SetValue(*key, "raw", win::kRegBinary, Bytes("\xff\x41"), 2), 0);
  SimRegistry reloaded(file());
  EXPECT_EQ(Value(reloaded, Hive::kLocalMachine, "SOFTWARE", "raw"), "3:\xff\x41");
}

TEST_F(SimRegistryTest, KeyNamesTheFileCannotHoldAreRefused) {
  SimRegistry registry(file());
  RegKeyPtr key;
  EXPECT_EQ(registry.CreateKey(Hive::kLocalMachine, "SOFTWARE\\two\nlines", kAll, &key, nullptr),
            static_cast<int32_t>(win::kErrorInvalidParameter));
  EXPECT_EQ(registry.OpenKey(Hive::kLocalMachine, "SOFTWARE", win::kKeyRead, &key), 2);
}

TEST_F(SimRegistryTest, ConcurrentWritersAllReachTheFile) {
  SimRegistry registry(file());
  auto key = [](int t) { return "SOFTWARE\\T" + std::to_string(t); };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (uint32_t i = 0; i < 10; ++i) {
        registry.SetDword(Hive::kLocalMachine, key(t), std::to_string(i), i);
        registry.GetDword(Hive::kLocalMachine, key(t), std::to_string(i));
      }
    });
  for (std::thread& thread : threads) thread.join();
  SimRegistry reloaded(file());
  for (int t = 0; t < 4; ++t)
    for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(reloaded.GetDword(Hive::kLocalMachine, key(t), std::to_string(i)), i);
}

}  // namespace
}  // namespace fenra::sim
