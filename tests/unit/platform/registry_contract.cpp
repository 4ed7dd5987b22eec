#include "unit/platform/registry_contract.h"

#include <unistd.h>

#include <algorithm>

#include "platform/win_values.h"

namespace fenra::testing {
namespace {

constexpr const char* kContractRoot = "SOFTWARE\\FenraContractTest";
constexpr uint32_t kAll = win::kKeyAllAccess;

const uint8_t* Bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

}  // namespace

void RegistryContractTest::SetUp() {
  harness_ = GetParam().make();
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  scratch_ = std::string(kContractRoot) + "\\" + info->name() + "-" + std::to_string(getpid());
  std::replace(scratch_.begin(), scratch_.end(), '/', '_');
  RegKeyPtr key;
  ASSERT_EQ(reg().CreateKey(Hive::kLocalMachine, scratch_, kAll, &key, nullptr), 0);
}

void RegistryContractTest::TearDown() {
  if (!harness_) return;
  // Deepest keys first: a key with subkeys cannot be deleted.
  std::sort(created_.begin(), created_.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '\\') > std::count(b.begin(), b.end(), '\\');
  });
  for (const std::string& sub : created_) reg().DeleteKey(Hive::kLocalMachine, Path(sub));
  EXPECT_EQ(reg().DeleteKey(Hive::kLocalMachine, scratch_), 0) << "a test left keys below " << scratch_;
  // Fails harmlessly while another run still has its scratch key there.
  reg().DeleteKey(Hive::kLocalMachine, kContractRoot);
}

std::string RegistryContractTest::Path(const std::string& sub) const { return scratch_ + "\\" + sub; }

RegKeyPtr RegistryContractTest::Create(const std::string& sub, uint32_t* disposition) {
  for (size_t at = sub.find('\\'); at != std::string::npos; at = sub.find('\\', at + 1))
    created_.push_back(sub.substr(0, at));
  created_.push_back(sub);
  RegKeyPtr key;
  EXPECT_EQ(reg().CreateKey(Hive::kLocalMachine, Path(sub), kAll, &key, disposition), 0) << sub;
  return key;
}

RegKeyPtr RegistryContractTest::Open(const std::string& sub, uint32_t sam) {
  RegKeyPtr key;
  EXPECT_EQ(reg().OpenKey(Hive::kLocalMachine, Path(sub), sam, &key), 0) << sub;
  return key;
}

int32_t RegistryContractTest::SetBytes(RegKey& key, const char* name, uint32_t type, const std::string& bytes,
                                       uint32_t size) {
  return reg().SetValue(key, name, type, Bytes(bytes.c_str()), size);
}

std::string RegistryContractTest::Stored(RegKey& key, const char* name, uint32_t* type) {
  uint32_t size = 0;
  EXPECT_EQ(reg().QueryValue(key, name, nullptr, nullptr, &size), 0);
  std::string data(size, '\0');
  EXPECT_EQ(reg().QueryValue(key, name, type, reinterpret_cast<uint8_t*>(data.data()), &size), 0);
  data.resize(size);
  return data;
}

TEST_P(RegistryContractTest, MissingKeysAndValuesAreFileNotFound) {
  RegKeyPtr key;
  EXPECT_EQ(reg().OpenKey(Hive::kLocalMachine, Path("Missing"), win::kKeyRead, &key), 2);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(reg().OpenKey(Hive::kLocalMachine, Path("Missing\\Deeper"), win::kKeyRead, &key), 2);

  RegKeyPtr existing = Create("Here");
  uint32_t size = 0;
  EXPECT_EQ(reg().QueryValue(*existing, "Nothing", nullptr, nullptr, &size), 2);
  EXPECT_EQ(reg().DeleteValue(*existing, "Nothing"), 2);
}

TEST_P(RegistryContractTest, CreateKeyMakesMissingParentsAndReportsDisposition) {
  uint32_t disposition = 0;
  Create("A\\B\\C", &disposition);
  EXPECT_EQ(disposition, win::kRegCreatedNewKey);
  Create("A\\B\\C", &disposition);
  EXPECT_EQ(disposition, win::kRegOpenedExistingKey);
  Create("A", &disposition);
  EXPECT_EQ(disposition, win::kRegOpenedExistingKey);
  EXPECT_NE(Open("A\\B", win::kKeyRead), nullptr);
  // A trailing backslash names the same key; a leading one is refused.
  Create("A\\B\\", &disposition);
  EXPECT_EQ(disposition, win::kRegOpenedExistingKey);
  RegKeyPtr key;
  EXPECT_EQ(reg().CreateKey(Hive::kLocalMachine, "\\" + Path("Rooted"), kAll, &key, nullptr),
            static_cast<int32_t>(win::kErrorBadPathname));
}

TEST_P(RegistryContractTest, KeyAndValueNamesIgnoreCase) {
  RegKeyPtr key = Create("Mixed\\Case");
  ASSERT_EQ(SetBytes(*key, "TempDir", win::kRegSz, "x", 2), 0);
  RegKeyPtr again = Open("MIXED\\cASE", win::kKeyAllAccess);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Stored(*again, "TEMPDIR"), std::string("x\0", 2));
  ASSERT_EQ(SetBytes(*again, "tempdir", win::kRegSz, "y", 2), 0);
  EXPECT_EQ(Stored(*key, "TempDir"), std::string("y\0", 2));
}

// The size given is kept, except that a string whose size leaves out the
// NUL that follows it gets the NUL stored; writing again replaces type and
// data; no name and an empty one are the default value.
TEST_P(RegistryContractTest, ValuesKeepTypeAndBytes) {
  struct Case {
    const char* name;
    uint32_t type;
    std::string given;  // followed by a NUL as a C string
    uint32_t size;
    std::string stored;
  };
  const Case cases[] = {
      {"Number", win::kRegDword, std::string("\x1e\0\0\0", 4), 4, std::string("\x1e\0\0\0", 4)},
      {"Blob", win::kRegBinary, std::string("\x00\xff\x10\x00", 4), 4, std::string("\x00\xff\x10\x00", 4)},
      {"List", win::kRegMultiSz, std::string("one\0two\0\0", 9), 9, std::string("one\0two\0\0", 9)},
      {"Dir", win::kRegSz, "abc", 3, std::string("abc\0", 4)},
      {"Expand", win::kRegExpandSz, "%x%", 3, std::string("%x%\0", 4)},
      {"Cut", win::kRegSz, "abcd", 3, "abc"},
      {nullptr, win::kRegSz, "dflt", 5, std::string("dflt\0", 5)},
      {"Number", win::kRegSz, "30", 3, std::string("30\0", 3)},
  };
  RegKeyPtr key = Create("Types");
  for (const Case& c : cases) {
    ASSERT_EQ(SetBytes(*key, c.name, c.type, c.given, c.size), 0) << c.given;
    uint32_t type = 0;
    EXPECT_EQ(Stored(*key, c.name ? c.name : "", &type), c.stored) << c.given;
    EXPECT_EQ(type, c.type) << c.given;
  }
  ASSERT_EQ(reg().DeleteValue(*key, ""), 0);
  uint32_t size = 0;
  EXPECT_EQ(reg().QueryValue(*key, nullptr, nullptr, nullptr, &size), 2);
}

// A short buffer gets nothing and the size needed; with room to spare a
// string without terminator gets one, not counted; nothing is written past
// the data.
TEST_P(RegistryContractTest, QueryValueFillsOnlyBuffersThatHoldTheData) {
  RegKeyPtr key = Create("Sizes");
  ASSERT_EQ(SetBytes(*key, "Text", win::kRegSz, "hello", 6), 0);
  ASSERT_EQ(SetBytes(*key, "Cut", win::kRegSz, "abcd", 3), 0);
  ASSERT_EQ(SetBytes(*key, "Empty", win::kRegSz, "", 0), 0);
  auto query = [&](const char* name, size_t capacity, uint32_t size, int32_t result) {
    std::string buffer(capacity, 'x');
    EXPECT_EQ(reg().QueryValue(*key, name, nullptr, reinterpret_cast<uint8_t*>(buffer.data()), &size), result)
        << name << " " << capacity;
    return std::to_string(size) + ":" + buffer;
  };
  const auto more = static_cast<int32_t>(win::kErrorMoreData);
  EXPECT_EQ(query("Text", 3, 3, more), "6:xxx");
  EXPECT_EQ(query("Text", 3, 0, more), "6:xxx");
  EXPECT_EQ(query("Text", 6, 6, 0), std::string("6:hello\0", 8));
  EXPECT_EQ(query("Cut", 5, 5, 0), std::string("3:abc\0x", 7));
  EXPECT_EQ(query("Cut", 4, 3, 0), "3:abcx");
  EXPECT_EQ(query("Empty", 4, 4, 0), "0:xxxx");
}

TEST_P(RegistryContractTest, AccessRightsOfTheOpenKeyAreEnforced) {
  RegKeyPtr writer = Create("Rights");
  ASSERT_EQ(SetBytes(*writer, "Value", win::kRegSz, "v", 2), 0);

  RegKeyPtr reader = Open("Rights", win::kKeyRead);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(SetBytes(*reader, "Value", win::kRegSz, "w", 2), static_cast<int32_t>(win::kErrorAccessDenied));
  EXPECT_EQ(SetBytes(*reader, "Other", win::kRegSz, "w", 2), static_cast<int32_t>(win::kErrorAccessDenied));
  EXPECT_EQ(reg().DeleteValue(*reader, "Value"), static_cast<int32_t>(win::kErrorAccessDenied));
  EXPECT_EQ(Stored(*reader, "Value"), std::string("v\0", 2));

  RegKeyPtr setter = Open("Rights", win::kKeySetValue);
  ASSERT_NE(setter, nullptr);
  uint32_t size = 0;
  EXPECT_EQ(reg().QueryValue(*setter, "Value", nullptr, nullptr, &size),
            static_cast<int32_t>(win::kErrorAccessDenied));
  EXPECT_EQ(SetBytes(*setter, "Value", win::kRegSz, "w", 2), 0);
}

TEST_P(RegistryContractTest, DeleteKeyRefusesKeysWithSubkeys) {
  Create("Parent\\Child");
  EXPECT_EQ(reg().DeleteKey(Hive::kLocalMachine, Path("Parent")), static_cast<int32_t>(win::kErrorAccessDenied));
  EXPECT_EQ(reg().DeleteKey(Hive::kLocalMachine, Path("PARENT\\child")), 0);
  EXPECT_EQ(reg().DeleteKey(Hive::kLocalMachine, Path("Parent")), 0);
  EXPECT_EQ(reg().DeleteKey(Hive::kLocalMachine, Path("Parent")), 2);
  RegKeyPtr key;
  EXPECT_EQ(reg().OpenKey(Hive::kLocalMachine, Path("Parent"), win::kKeyRead, &key), 2);
}

TEST_P(RegistryContractTest, HandlesToADeletedKeyFail) {
  RegKeyPtr key = Create("Doomed");
  ASSERT_EQ(SetBytes(*key, "Value", win::kRegSz, "v", 2), 0);
  ASSERT_EQ(reg().DeleteKey(Hive::kLocalMachine, Path("Doomed")), 0);

  const auto deleted = static_cast<int32_t>(win::kErrorKeyDeleted);
  uint32_t size = 0;
  EXPECT_EQ(reg().QueryValue(*key, "Value", nullptr, nullptr, &size), deleted);
  EXPECT_EQ(SetBytes(*key, "Value", win::kRegSz, "w", 2), deleted);
  EXPECT_EQ(reg().DeleteValue(*key, "Value"), deleted);

  // A new key of the same name is another key: the old handle stays dead.
  RegKeyPtr fresh = Create("Doomed");
  EXPECT_EQ(reg().QueryValue(*fresh, "Value", nullptr, nullptr, &size), 2);
  EXPECT_EQ(reg().QueryValue(*key, "Value", nullptr, nullptr, &size), deleted);
}

TEST_P(RegistryContractTest, ChangesMadeElsewhereReachOpenKeysAndAreKept) {
  RegKeyPtr mine = Create("Shared");
  ASSERT_EQ(SetBytes(*mine, "Mine", win::kRegSz, "a", 2), 0);
  RegKeyPtr theirs;
  ASSERT_EQ(elsewhere().OpenKey(Hive::kLocalMachine, Path("Shared"), kAll, &theirs), 0);
  ASSERT_EQ(elsewhere().SetValue(*theirs, "Theirs", win::kRegSz, Bytes("b"), 2), 0);
  EXPECT_EQ(Stored(*mine, "Theirs"), std::string("b\0", 2));

  // A change made here keeps theirs, and reaches their open key.
  ASSERT_EQ(SetBytes(*mine, "Mine", win::kRegSz, "cd", 3), 0);
  uint32_t size = 0;
  EXPECT_EQ(elsewhere().QueryValue(*theirs, "Mine", nullptr, nullptr, &size), 0);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(Stored(*mine, "Theirs"), std::string("b\0", 2));

  ASSERT_EQ(elsewhere().DeleteValue(*theirs, "Theirs"), 0);
  EXPECT_EQ(reg().QueryValue(*mine, "Theirs", nullptr, nullptr, &size), 2);

  ASSERT_EQ(elsewhere().DeleteKey(Hive::kLocalMachine, Path("Shared")), 0);
  EXPECT_EQ(reg().QueryValue(*mine, "Mine", nullptr, nullptr, &size), static_cast<int32_t>(win::kErrorKeyDeleted));
}

}  // namespace fenra::testing
