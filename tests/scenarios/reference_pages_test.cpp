// docs/settings.md, docs/events.md and docs/scenarios.md held to the code.
// The rows of their tables are compared with the code's own tables (event
// IDs, the message file, the string table, the pairs, the threshold
// defaults, the INI settings, the scenario directives) and with what
// FENRA.exe does on a simulated machine: every registry value and INI key
// its installation and its service touch is recorded, and each must be a
// row, with the row's type, default and use.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "diagnostics/event_ids.h"
#include "monitor/service_thread.h"
#include "platform/sim/hardware_description.h"
#include "runner/scenario.h"
#include "service/com_registration.h"
#include "service/entry.h"
#include "service/service_module.h"
#include "settings/registry_access.h"
#include "state/pairs.h"
#include "support/service_process.h"
#include "support/thread_annotations.h"
#include "wmi/wmi_tables.h"

namespace fenra {
namespace {

namespace fs = std::filesystem;
using Row = std::vector<std::string>;

const fs::path kSourceDir = FENRA_SOURCE_DIR;
constexpr const char* kEventSourceKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\";
constexpr const char* kServiceKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\FENRA";

std::string Source(const std::string& relative) { return testing::ReadFile(kSourceDir / relative); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start <= text.size();) {
    size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(' ');
  return begin == std::string::npos ? "" : text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

// ---- Markdown tables

// A row's cells; a bar written \| is part of its cell.
Row Cells(const std::string& line) {
  Row cells;
  size_t start = 1;
  for (size_t bar = line.find('|', start); bar != std::string::npos; bar = line.find('|', bar + 1)) {
    if (line[bar - 1] == '\\') continue;
    cells.push_back(Trim(line.substr(start, bar - start)));
    start = bar + 1;
  }
  return cells;
}

// The rows of the page's tables with this header.
std::vector<Row> Table(const std::string& page, const Row& header) {
  std::vector<std::string> lines = Lines(page);
  std::vector<Row> rows;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (!lines[i].starts_with('|') || Cells(lines[i]) != header) continue;
    for (i += 2; i < lines.size() && lines[i].starts_with('|'); ++i) rows.push_back(Cells(lines[i]));
  }
  if (rows.empty()) ADD_FAILURE() << "no table headed " << ::testing::PrintToString(header);
  return rows;
}

// The words in backticks, outside parentheses.
std::vector<std::string> Codes(const std::string& cell) {
  std::vector<std::string> codes;
  int depth = 0;
  for (size_t i = 0; i < cell.size(); ++i) {
    if (cell[i] == '(' || cell[i] == ')') depth += cell[i] == '(' ? 1 : -1;
    if (cell[i] != '`') continue;
    size_t end = cell.find('`', i + 1);
    if (end == std::string::npos) break;
    if (depth == 0) codes.push_back(cell.substr(i + 1, end - i - 1));
    i = end;
  }
  return codes;
}
std::string Code(const std::string& cell) {
  std::vector<std::string> codes = Codes(cell);
  return codes.empty() ? "" : codes[0];
}
// A value's name: in backticks, or "(default)".
std::string ValueCell(const std::string& cell) { return cell == "(default)" ? cell : Code(cell); }
std::optional<uint32_t> LeadingNumber(const std::string& cell) {
  if (cell.empty() || !isdigit(static_cast<unsigned char>(cell[0]))) return std::nullopt;
  return static_cast<uint32_t>(std::stoul(cell));
}

// What a row says the service does with a value.
std::set<std::string> Verbs(const std::string& cell) {
  std::set<std::string> verbs;
  for (const char* verb : {"reads", "writes", "deletes"})
    if (cell.find(verb) != std::string::npos) verbs.insert(verb);
  return verbs;
}

// ---- What FENRA.exe touches

// The registry values (key, value) and the INI keys (file, SECTION\KEY; a
// file written whole as (file, "")) a process touched, with what it did.
struct Touch {
  std::set<std::string> verbs;
  uint32_t type = 0;  // as last read or written
};
using Touches = std::map<std::pair<std::string, std::string>, Touch>;

class Recorder {
 public:
  void Note(const std::string& key, const std::string& value, const char* verb, uint32_t type = 0) {
    MutexLock lock(mutex_);
    Touch& touch = touches_[{key, value}];
    touch.verbs.insert(verb);
    if (type != 0) touch.type = type;
  }
  Touches Take() {
    MutexLock lock(mutex_);
    return std::exchange(touches_, {});
  }

 private:
  Mutex mutex_;
  Touches touches_ FENRA_GUARDED_BY(mutex_);
};

class RecordingRegistry : public Registry {
 public:
  RecordingRegistry(Registry& registry, Recorder& recorder) : registry_(registry), recorder_(recorder) {}

  int32_t OpenKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key) override {
    return Wrap(hive, path, registry_.OpenKey(hive, path, sam, key), key);
  }
  int32_t CreateKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key, uint32_t* disposition) override {
    return Wrap(hive, path, registry_.CreateKey(hive, path, sam, key, disposition), key);
  }
  int32_t QueryValue(RegKey& key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size) override {
    auto& named = static_cast<NamedKey&>(key);
    uint32_t found = 0;
    int32_t result = registry_.QueryValue(*named.key, name, &found, data, size);
    if (type != nullptr) *type = found;
    recorder_.Note(named.name, ValueName(name), "reads", result == 0 || result == 234 ? found : 0);
    return result;
  }
  int32_t SetValue(RegKey& key, const char* name, uint32_t type, const uint8_t* data, uint32_t size) override {
    auto& named = static_cast<NamedKey&>(key);
    recorder_.Note(named.name, ValueName(name), "writes", type);
    return registry_.SetValue(*named.key, name, type, data, size);
  }
  int32_t DeleteValue(RegKey& key, const char* name) override {
    auto& named = static_cast<NamedKey&>(key);
    recorder_.Note(named.name, ValueName(name), "deletes");
    return registry_.DeleteValue(*named.key, name);
  }
  int32_t DeleteKey(Hive hive, const std::string& path) override { return registry_.DeleteKey(hive, path); }

 private:
  struct NamedKey : RegKey {
    RegKeyPtr key;
    std::string name;
  };
  static std::string ValueName(const char* name) { return name != nullptr && *name != '\0' ? name : "(default)"; }
  static int32_t Wrap(Hive hive, const std::string& path, int32_t result, RegKeyPtr* key) {
    if (result != 0) return result;
    auto named = std::make_unique<NamedKey>();
    named->key = std::move(*key);
    named->name = (hive == Hive::kLocalMachine ? "HKLM\\" : "HKCR\\") + path;
    *key = std::move(named);
    return result;
  }

  Registry& registry_;
  Recorder& recorder_;
};

class RecordingFiles : public Files {
 public:
  RecordingFiles(Files& files, Recorder& recorder) : files_(files), recorder_(recorder) {}

  FilePtr CreateFile(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) override {
    if ((access & win::kGenericWrite) != 0 && IsIni(path)) recorder_.Note(FileName(path), "", "writes");
    return files_.CreateFile(path, access, share, disposition);
  }
  FilePtr CreateTrustedFile(const std::string& path, uint32_t access, uint32_t share,
                            uint32_t disposition) override {
    return files_.CreateTrustedFile(path, access, share, disposition);
  }
  bool GetFileSize(File& file, uint64_t* size) override { return files_.GetFileSize(file, size); }
  bool SetFilePointer(File& file, int64_t distance, uint32_t method, uint64_t* position) override {
    return files_.SetFilePointer(file, distance, method, position);
  }
  bool WriteFile(File& file, const void* data, uint32_t size, uint32_t* written) override {
    return files_.WriteFile(file, data, size, written);
  }
  bool ReadFile(File& file, void* data, uint32_t size, uint32_t* read) override {
    return files_.ReadFile(file, data, size, read);
  }
  uint32_t GetPrivateProfileInt(const std::string& section, const std::string& key, int32_t default_value,
                                const std::string& path) override {
    recorder_.Note(FileName(path), section + "\\" + key, "reads");
    return files_.GetPrivateProfileInt(section, key, default_value, path);
  }

 private:
  static std::string FileName(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }
  static bool IsIni(const std::string& path) {
    return path.size() > 4 && Lower(path.substr(path.size() - 4)) == ".ini";
  }

  Files& files_;
  Recorder& recorder_;
};

// A process's platform with its registry and files recorded.
struct RecordedPlatform {
  RecordedPlatform(Platform& p, Recorder& recorder)
      : registry(p.registry, recorder),
        files(p.files, recorder),
        platform{p.kernel, registry, p.event_log, files,      p.service_control, p.resources,
                 p.system, p.com,    p.wmi,       p.hardware, p.version_info} {}
  RecordingRegistry registry;
  RecordingFiles files;
  Platform platform;
};

// FENRA.exe as the image of a process, its registry and files recorded;
// `module` gets its service module.
sim::SimMachine::ProcessMain RecordedImage(Recorder& recorder, CServiceModule** module = nullptr) {
  return [&recorder, module](sim::SimProcess& process) {
    RecordedPlatform& recorded = process.Make<RecordedPlatform>(process.platform(), recorder);
    CServiceModule& made = process.Make<CServiceModule>(recorded.platform);
    if (module != nullptr) *module = &made;
    return static_cast<uint32_t>(ProcessEntry(made, recorded.platform));
  };
}

// FENRA.exe with `arguments`, recorded, run to its end: it must succeed.
Touches RunRecorded(sim::SimMachine& machine, Recorder& recorder, const std::string& arguments) {
  EXPECT_EQ(testing::RunFenra(machine, arguments, {}, RecordedImage(recorder)), 0) << arguments;
  return recorder.Take();
}

std::string TypeName(uint32_t type) {
  const std::map<uint32_t, std::string> names = {{win::kRegSz, "REG_SZ"},
                                                 {win::kRegExpandSz, "REG_EXPAND_SZ"},
                                                 {win::kRegBinary, "REG_BINARY"},
                                                 {win::kRegDword, "REG_DWORD"},
                                                 {win::kRegMultiSz, "REG_MULTI_SZ"}};
  return names.contains(type) ? names.at(type) : "?";
}

// A value's data as a table cell writes it: a number in decimal, text in
// backticks (a multi-string's only string).
std::string DataAsCell(const sim::RegValue& value) {
  const std::vector<uint8_t>& data = value.data;
  if (value.type == win::kRegDword && data.size() == 4) {
    uint32_t number = 0;
    memcpy(&number, data.data(), 4);
    return std::to_string(number);
  }
  std::string text(data.begin(), data.end());
  return text.substr(0, text.find('\0'));
}
std::string CellData(const std::string& cell) {
  std::optional<uint32_t> number = LeadingNumber(cell);
  return number ? std::to_string(*number) : Code(cell);
}

std::optional<sim::RegValue> RawValue(sim::SimMachine& machine, const std::string& key, const std::string& value) {
  Hive hive = key.starts_with("HKCR\\") ? Hive::kClassesRoot : Hive::kLocalMachine;
  return machine.registry().GetRaw(hive, key.substr(5), value == "(default)" ? "" : value);
}

// A 64-bit server, its 32-bit FENRA.exe in SysWOW64.
void WriteWow64(const fs::path& directory) {
  testing::WriteFile(directory / sim::SimMachine::kSystemFile, R"({"wow64": true})");
  testing::WriteFile(directory / sim::kHardwareFile, R"({"executable": {"path": "C:\\Windows\\SysWOW64\\FENRA.exe"}})");
}

// ---- docs/settings.md

class SettingsPageTest : public ::testing::Test {
 protected:
  const std::string page = Source("docs/settings.md");
  const std::string events_page = Source("docs/events.md");
  const std::vector<Row> values = Table(page, {"key", "value", "type", "unit", "default", "the service"});
  const std::vector<Row> registration = Table(page, {"key", "value", "type", "data", "written by"});
  const std::vector<Row> defaults =
      Table(page, {"version begins with", "generation", "CPU short / long", "PCI short / long", "ExPCI short / long"});
  const std::vector<Row> ini = Table(page, {"file", "section", "key", "unit", "default", "the service"});
  Recorder recorder;
};

TEST_F(SettingsPageTest, TheThresholdDefaultsAreTheGenerationsOwn) {
  ASSERT_EQ(defaults.size(), 4u);
  const Row header{"CPU short / long", "PCI short / long", "ExPCI short / long"};
  for (size_t k = 0; k < kPairs.size(); ++k) EXPECT_EQ(header[k], std::string(kPairs[k].label) + " short / long");
  for (const Row& row : defaults) {
    ASSERT_FALSE(Codes(row[0]).empty()) << row[0];
    for (const std::string& version : Codes(row[0])) {
      EXPECT_EQ(std::to_string(PlatformGenFromVersion(version.c_str())), row[1]) << version;
      ThresholdDefaults expected = ThresholdDefaultsFor(version[0]);
      for (size_t k = 0; k < kPairs.size(); ++k)
        EXPECT_EQ(row[2 + k],
                  std::to_string(expected[k].short_minutes) + " / " + std::to_string(expected[k].long_minutes))
            << version << " " << kPairs[k].label;
    }
  }
}

// The service's first start on a generation-0 server (version 1.1, no INI
// files, no thresholds), its three pairs lost after the WMI threads have
// started: every value it touches is a row of the page, and every row is
// touched as the row says.
TEST_F(SettingsPageTest, EveryValueTheServiceTouchesIsARowAndEveryRowSaysWhatItDoes) {
  testing::TestMachine machine;
  ASSERT_EQ(testing::RunFenra(*machine, "-Service"), 0);
  machine->registry().SetString(Hive::kLocalMachine, "SOFTWARE\\QOR\\Trelvane", "TrelvaneVersion", "1.1");
  CServiceModule* module = nullptr;
  sim::ProcessOptions options;
  options.command_line = machine->version_info().GetModuleFileName();
  Handle process = machine->StartProcess(options, RecordedImage(recorder, &module));
  Kernel& kernel = machine->kernel();
  kernel.Sleep(24 * 60000);  // the 20-minute delay, then the WMI threads
  for (const char* lost : {"cpu/1", "pci/11", "pci/13"}) ASSERT_TRUE(machine->wmi().SetState(lost, STATE_REMOVED));
  for (const char* alone : {"cpu/0", "pci/10", "pci/12"}) ASSERT_TRUE(machine->wmi().SetState(alone, STATE_SIMPLEX));
  kernel.Sleep(30000);
  module->Handler(win::kServiceControlStop);
  ASSERT_EQ(kernel.WaitForSingleObject(process, win::kInfinite), win::kWaitObject0);
  Touches touched = recorder.Take();

  std::set<std::pair<std::string, std::string>> rows;
  for (const Row& row : values) {
    const std::pair<std::string, std::string> name{Code(row[0]), Code(row[1])};
    EXPECT_TRUE(rows.insert(name).second) << "twice: " << name.first << " " << name.second;
    auto found = touched.find(name);
    if (found == touched.end()) {
      ADD_FAILURE() << "not touched by the service: " << name.first << " " << name.second;
      continue;
    }
    const Touch& touch = found->second;
    EXPECT_EQ(Verbs(row[5]), touch.verbs) << name.first << " " << name.second;
    if (touch.type != 0) {
      EXPECT_TRUE(row[2].starts_with(TypeName(touch.type))) << name.second << ": " << row[2];
    }
  }
  // A value the page does not list is one of the registration's.
  for (const auto& entry : touched) {
    const std::pair<std::string, std::string>& name = entry.first;
    if (rows.contains(name) || name.first.ends_with(".ini")) continue;
    EXPECT_TRUE(std::ranges::any_of(
        registration, [&](const Row& row) { return Code(row[0]) == name.first && ValueCell(row[1]) == name.second; }))
        << "not on the page: " << name.first << " " << name.second;
  }

  // PulseEventWaitCount, missing: its default.
  auto wait = std::ranges::find_if(values, [](const Row& row) { return Code(row[1]) == "PulseEventWaitCount"; });
  ASSERT_NE(wait, values.end());
  std::vector<std::string> trace = machine.TraceMessages();
  EXPECT_NE(std::ranges::find(trace, "[ServiceThread]waitPulseTime = " +
                                         std::to_string(LeadingNumber((*wait)[4]).value_or(0)) + " sec"),
            trace.end());

  // The INI keys: read, and their files written with the defaults.
  size_t ini_keys = 0;
  for (const auto& [name, touch] : touched)
    if (name.first.ends_with(".ini") && !name.second.empty()) ++ini_keys;
  EXPECT_EQ(ini.size(), ini_keys);
  for (const Row& row : ini) {
    const std::string file = Code(row[0]), section = Code(row[1]), key = Code(row[2]);
    auto read = touched.find({file, section + "\\" + key});
    ASSERT_NE(read, touched.end()) << file << " " << key;
    std::set<std::string> verbs = read->second.verbs;
    if (touched.contains({file, ""})) verbs.insert("writes");
    EXPECT_EQ(Verbs(row[5]), verbs) << key;
    const IniSetting* setting = nullptr;
    for (const IniSetting* known : {&kSimplexFilterTimeSetting, &kTimeoutValueSetting})
      if (file == known->file && section == known->section && key == known->key) setting = known;
    ASSERT_NE(setting, nullptr) << key;
    std::string text = setting->default_text;
    size_t equals = text.find('=');
    EXPECT_EQ(row[4], text.substr(equals + 1, text.find('\r', equals) - equals - 1)) << key;
  }
}

// -RegServer and -Service on a 64-bit server write exactly the rows that
// name them (the event sources are the events page's), with the row's data;
// -UnregServer removes them all.
TEST_F(SettingsPageTest, TheRegistrationWritesItsRowsAndUnregistrationRemovesThem) {
  testing::TestMachine machine(testing::VirtualTime(), WriteWow64);
  const std::vector<Row> sources =
      Table(events_page, {"value", "type", "64-bit Windows (the 32-bit service under WoW64)", "32-bit Windows"});
  for (const char* word : {"-RegServer", "-Service"}) {
    Touches touched = RunRecorded(*machine, recorder, word);
    std::set<std::pair<std::string, std::string>> written, expected;
    for (const auto& [name, touch] : touched)
      if (touch.verbs.contains("writes")) written.insert(name);
    for (const Row& row : registration) {
      std::vector<std::string> by = Codes(row[4]);
      if (std::ranges::find(by, word) != by.end() && !Code(row[0]).starts_with(kServiceKey))
        expected.insert({Code(row[0]), ValueCell(row[1])});
    }
    if (std::string(word) == "-Service")
      for (const char* source : {kSourceZuft, kSourceFtMarvix})
        for (const Row& row : sources)
          if (row[1].starts_with("REG_")) expected.insert({kEventSourceKey + std::string(source), Code(row[0])});
    EXPECT_EQ(written, expected) << word;
  }
  for (const Row& row : registration) {
    std::optional<sim::RegValue> value = RawValue(*machine, Code(row[0]), ValueCell(row[1]));
    ASSERT_TRUE(value) << row[0] << " " << row[1];
    EXPECT_EQ(row[2], TypeName(value->type)) << row[1];
    EXPECT_EQ(CellData(row[3]), DataAsCell(*value)) << row[0] << " " << row[1];
  }
  RunRecorded(*machine, recorder, "-UnregServer");
  for (const Row& row : registration)
    EXPECT_FALSE(RawValue(*machine, Code(row[0]), ValueCell(row[1]))) << "left: " << row[0] << " " << row[1];
}

// ---- docs/events.md

// Event ID constants of event_ids.h by name.
std::map<std::string, uint32_t> EventIdConstants() {
  std::map<std::string, uint32_t> ids;
  for (const std::string& line : Lines(Source("src/diagnostics/event_ids.h"))) {
    const std::string prefix = "inline constexpr uint32_t ";
    if (!line.starts_with(prefix)) continue;
    size_t equals = line.find(" = ");
    ids[line.substr(prefix.size(), equals - prefix.size())] =
        static_cast<uint32_t>(std::stoul(line.substr(equals + 3), nullptr, 0));
  }
  return ids;
}

// The message file's texts by message number: English and Japanese.
std::map<uint32_t, std::pair<std::string, std::string>> MessageTexts() {
  std::map<uint32_t, std::pair<std::string, std::string>> texts;
  uint32_t id = 0;
  std::string* text = nullptr;
  for (const std::string& line : Lines(Source("resources/FENRAAPI.mc"))) {
    if (text != nullptr) {
      if (line == ".")
        text = nullptr;
      else
        *text += (text->empty() ? "" : "\n") + line;
    } else if (line.starts_with("MessageId=")) {
      id = static_cast<uint32_t>(std::stoul(line.substr(10), nullptr, 0));
    } else if (line == "Language=English") {
      text = &texts[id].first;
    } else if (line == "Language=Japanese") {
      text = &texts[id].second;
    }
  }
  return texts;
}

// A message text as the page shows it: without the record's string behind
// it ("%n%1%0"); a text that is the string alone reads "%1".
std::string Shown(std::string text) {
  if (text.ends_with("%0")) text.resize(text.size() - 2);
  if (text.ends_with("%n%1")) text.resize(text.size() - 4);
  return text;
}

// Where the code writes each event ID: its sources and types ("Error", ...).
std::map<std::string, std::set<std::pair<std::string, std::string>>> WriterCalls() {
  std::map<std::string, std::set<std::pair<std::string, std::string>>> calls;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(kSourceDir / "src")) {
    if (entry.path().extension() != ".cpp") continue;
    const std::string text = testing::ReadFile(entry.path());
    for (size_t at = text.find("WriteEventLog"); at != std::string::npos; at = text.find("WriteEventLog", at + 1)) {
      size_t open = text.find_first_not_of("ErorDat", at + 13);
      if (open == std::string::npos || text[open] != '(') continue;
      Row arguments{""};
      int depth = 0;
      for (size_t i = open + 1; i < text.size() && (depth > 0 || text[i] != ')'); ++i) {
        if (text[i] == '(' || text[i] == ')') depth += text[i] == '(' ? 1 : -1;
        if (text[i] == ',' && depth == 0)
          arguments.emplace_back();
        else if (!isspace(static_cast<unsigned char>(text[i])))
          arguments.back() += text[i];
      }
      if (arguments.size() < 4 || !arguments[1].starts_with("EVSRC_") || !arguments[2].starts_with("EVID_")) continue;
      std::string type;
      for (const std::string& argument : arguments)
        if (size_t kind = argument.find("kEventlog"); kind != std::string::npos)
          type = argument.substr(kind + 9, argument.find("Type") - kind - 9);
      calls[arguments[2]].insert({arguments[1] == "EVSRC_ZUFT" ? kSourceZuft : kSourceFtMarvix, type});
    }
  }
  return calls;
}

// The level an event ID's severity bits give.
std::string LevelOf(uint32_t id) { return std::array{"success", "information", "warning", "error"}[id >> 30]; }

class EventsPageTest : public ::testing::Test {
 protected:
  const std::string page = Source("docs/events.md");
  const std::vector<Row> records = Table(
      page, {"shown", "event ID", "constant", "source", "level", "English text", "Japanese text", "insertion string"});
};

TEST_F(EventsPageTest, EveryRecordIsARowWithItsIdSourceLevelAndTexts) {
  std::map<std::string, uint32_t> constants = EventIdConstants();
  auto texts = MessageTexts();
  auto calls = WriterCalls();
  ASSERT_EQ(records.size(), constants.size());
  ASSERT_EQ(texts.size(), constants.size());
  for (const Row& row : records) {
    const std::string name = Code(row[2]);
    ASSERT_TRUE(constants.contains(name)) << name;
    const uint32_t id = constants[name];
    char full[32];
    snprintf(full, sizeof(full), "0x%08X (%u)", id, id);
    EXPECT_EQ(row[1], full) << name;
    EXPECT_EQ(row[0], std::to_string(id & 0xFFFF)) << name;
    EXPECT_EQ(row[4], LevelOf(id)) << name;
    ASSERT_TRUE(calls.contains(name)) << name << " is written nowhere";
    for (const auto& [source, type] : calls[name]) {
      EXPECT_EQ(Code(row[3]), source) << name;
      EXPECT_EQ(row[4], Lower(type)) << name;
    }
    ASSERT_TRUE(texts.contains(id & 0xFFFF)) << name;
    EXPECT_EQ(row[5], Shown(texts[id & 0xFFFF].first)) << name;
    EXPECT_EQ(row[6], Shown(texts[id & 0xFFFF].second)) << name;
    EXPECT_TRUE(std::ranges::any_of(Lines(page),
                                    [&](const std::string& line) {
                                      size_t at = line.find(row[0]);
                                      return line.starts_with('#') && at != std::string::npos &&
                                             !isdigit(static_cast<unsigned char>(line[at - 1])) &&
                                             !isdigit(static_cast<unsigned char>(line[at + row[0].size()]));
                                    }))
        << "no section for " << row[0];
  }
}

// The string table's rows, their names by generation, the state words and
// the example alerts, which a scenario run must have written as they stand.
TEST_F(EventsPageTest, TheAlertsTextsNamesStatesAndExamplesAreTheCodes) {
  struct Text {
    uint32_t id;
    const char* name;
    const char* english;
    const char* japanese;
  };
  static constexpr Text kStrings[] = {
#define FENRA_STRING(id, symbol, english, japanese) {id, #symbol, english, japanese},
#include "resources/string_table.inc"
#undef FENRA_STRING
  };
  auto string_of = [](uint32_t id) {
    return *std::ranges::find_if(kStrings, [id](const Text& text) { return text.id == id; });
  };
  auto escaped = [](std::string text) {
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at)) text.replace(at, 1, "\\n");
    return text;
  };
  const std::vector<Row> templates = Table(page, {"string", "name", "English", "Japanese"});
  ASSERT_EQ(templates.size(), 3u);
  for (const Row& row : templates) {
    const Text& text = string_of(static_cast<uint32_t>(std::stoul(row[0])));
    EXPECT_EQ(Code(row[1]), text.name);
    EXPECT_EQ(Code(row[2]), escaped(text.english));
    EXPECT_EQ(Code(row[3]), escaped(text.japanese));
  }
  const std::vector<Row> names = Table(page, {"row", "generation 0", "generation 1", "generation 2"});
  ASSERT_EQ(names.size(), static_cast<size_t>(kDeviceClassRows));
  for (size_t row = 0; row < names.size(); ++row)
    for (size_t generation = 0; generation < static_cast<size_t>(kPlatformGenerations); ++generation) {
      const Text& text = string_of(static_cast<uint32_t>(DeviceNameIdTable[row][generation]));
      EXPECT_EQ(names[row][1 + generation], std::string(text.english) + " / " + text.japanese) << row;
    }

  std::set<std::string> words, documented;
  for (const StateEntry& entry : kStateTable) words.insert(std::string(entry.name()));
  // A code without a word: the alert's status lines are the wide texts.
  std::string unknown;
  for (const wchar_t* c = kUnknownStateTextW + 1; *c != L'\0'; ++c) unknown += static_cast<char>(*c);
  words.insert(unknown);
  for (const Row& row : Table(page, {"word", "what it says"})) documented.insert(row[0]);
  EXPECT_EQ(documented, words);

  std::set<std::string> written;
  for (const fs::path& folder : {kSourceDir / "scenarios", kSourceDir / "tests" / "scenarios"})
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
      if (entry.path().extension() == ".expected")
        for (const std::string& line : Lines(testing::ReadFile(entry.path())))
          if (line.find("\"kind\": \"event\"") != std::string::npos)
            written.insert(nlohmann::json::parse(line)["strings"][0].get<std::string>());
  size_t examples = 0;
  for (size_t at = page.find("```alert\n"); at != std::string::npos; at = page.find("```alert\n", at)) {
    at += 9;
    std::string example = page.substr(at, page.find("\n```", at) - at);
    EXPECT_TRUE(written.contains(example)) << "no scenario wrote:\n" << example;
    ++examples;
  }
  EXPECT_GE(examples, 3u);
}

// -Service on a 64-bit and on a 32-bit server: the values the event viewer
// reads under each source's key, the message file beside the service's
// executable, and the types the sources' records use.
TEST_F(EventsPageTest, TheEventSourcesAreRegisteredAsThePageSays) {
  const std::vector<Row> sources =
      Table(page, {"value", "type", "64-bit Windows (the 32-bit service under WoW64)", "32-bit Windows"});
  for (bool wow64 : {true, false}) {
    testing::TestMachine machine(testing::VirtualTime(), wow64 ? testing::TestMachine::Prepare(WriteWow64) : nullptr);
    ASSERT_EQ(testing::RunFenra(*machine, "-Service"), 0);
    const size_t column = wow64 ? 2 : 3;
    std::optional<sim::RegValue> image = RawValue(*machine, kServiceKey, "ImagePath");
    ASSERT_TRUE(image);
    std::string directory = DataAsCell(*image).substr(0, DataAsCell(*image).find_last_of('\\'));
    for (const char* source : {kSourceZuft, kSourceFtMarvix}) {
      const std::string key = kEventSourceKey + std::string(source);
      for (const Row& row : sources) {
        std::optional<sim::RegValue> value = RawValue(*machine, key, Code(row[0]));
        if (!row[1].starts_with("REG_")) {
          EXPECT_FALSE(value) << source << " " << row[0];
          continue;
        }
        ASSERT_TRUE(value) << source << " " << row[0];
        EXPECT_EQ(row[1], TypeName(value->type));
        EXPECT_EQ(CellData(row[column]), DataAsCell(*value)) << source << " " << row[0];
        if (value->type == win::kRegExpandSz) {
          EXPECT_EQ(machine->system().ExpandEnvironmentStrings(DataAsCell(*value)), directory + "\\FENRAAPI.dll");
        }
        if (Code(row[0]) == "TypesSupported") {
          uint32_t types = std::stoul(DataAsCell(*value));
          for (const Row& record : records) {
            if (Code(record[3]) != source) continue;
            EXPECT_NE(types & (record[4] == "error" ? 1u : record[4] == "warning" ? 2u : 4u), 0u) << record[0];
          }
        }
      }
    }
  }
}

// ---- docs/scenarios.md

// Its directive tables list exactly the reader's directives, with the same
// usage lines: the setup tables every directive that stands before the
// clock, the timed table every directive that takes a time.
TEST(ReferencePagesTest, TheScenarioDirectivesAreTheReadersOwn) {
  const std::string page = Source("docs/scenarios.md");
  std::set<std::string> documented, read;
  for (const std::string kind : {"Setup", "Timed"}) {
    size_t from = page.find("### " + kind + " directives\n");
    for (const Row& row : Table(page.substr(from, page.find("\n### ", from) - from), {"directive", "what"}))
      for (std::string usage : Codes(row[0])) {
        for (size_t bar; (bar = usage.find("\\|")) != std::string::npos;) usage.erase(bar, 1);
        documented.insert(kind + ": " + usage);
      }
  }
  for (const runner::DirectiveSyntax& directive : runner::ScenarioDirectives()) {
    if (directive.kind != runner::DirectiveKind::kTimed) read.insert("Setup: " + std::string(directive.usage));
    if (directive.kind == runner::DirectiveKind::kTimed || directive.kind == runner::DirectiveKind::kSetupOrTimed)
      read.insert("Timed: " + std::string(directive.usage));
  }
  EXPECT_EQ(documented, read);
}

// Every link into a page section names a heading of that page.
TEST(ReferencePagesTest, EveryLinkToASectionFindsIt) {
  auto anchors = [](const std::string& page) {
    std::set<std::string> found;
    for (const std::string& line : Lines(page)) {
      if (!line.starts_with('#')) continue;
      std::string slug;
      for (char c : Trim(line.substr(line.find(' ')))) {
        if (c == ' ' || c == '-')
          slug += '-';
        else if (isalnum(static_cast<unsigned char>(c)) || c == '_' || (c & 0x80) != 0)
          slug += static_cast<char>(tolower(c));
      }
      found.insert(slug);
    }
    return found;
  };
  for (const char* name : {"settings.md", "events.md"}) {
    const std::string page = Source(std::string("docs/") + name);
    for (size_t at = page.find("](", 0); at != std::string::npos; at = page.find("](", at + 1)) {
      std::string target = page.substr(at + 2, page.find(')', at) - at - 2);
      size_t hash = target.find('#');
      if (hash == std::string::npos || target.starts_with("http")) continue;
      std::string file = hash == 0 ? name : target.substr(0, hash);
      EXPECT_TRUE(anchors(Source("docs/" + file)).contains(target.substr(hash + 1))) << name << ": " << target;
    }
  }
}

}  // namespace
}  // namespace fenra
