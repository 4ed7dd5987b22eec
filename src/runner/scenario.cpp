#include "runner/scenario.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/sim/hardware_facts.h"
#include "platform/sim/host_file.h"
#include "platform/sim/text.h"
#include "platform/sim/wmi_inventory.h"
#include "platform/win_values.h"
#include "runner/scenario_hardware.h"
#include "wmi/wmi_tables.h"

namespace fenra::runner {
namespace {

using nlohmann::json;

// ERROR_LOG_FILE_FULL: what a refused event-log record fails with unless
// the scenario names another error.
constexpr uint32_t kLogFileFull = 1502;

struct WmiFaultWordEntry {
  std::string_view word;
  sim::WmiFault fault;
};
constexpr WmiFaultWordEntry kWmiFaultWords[] = {
    {"create-locator", sim::WmiFault::kCreateLocator}, {"connect", sim::WmiFault::kConnectServer},
    {"proxy-blanket", sim::WmiFault::kProxyBlanket},   {"query", sim::WmiFault::kExecQuery},
    {"subscribe", sim::WmiFault::kNotificationQuery},  {"next-timeout", sim::WmiFault::kNextTimeout},
    {"next-cancelled", sim::WmiFault::kNextCancelled}, {"next-throws", sim::WmiFault::kNextThrows},
    {"object-text", sim::WmiFault::kGetObjectText},
};

// One word of a line, and where the rest of the line after it starts.
struct Word {
  std::string text;
  bool quoted = false;
  size_t end = 0;
};

// Words, with "double-quoted words" (\" and \\ escaped inside); a # at the
// start of a word begins the comment. Throws on an unterminated quote.
std::vector<Word> SplitWords(const std::string& line, size_t* comment, std::string* error) {
  std::vector<Word> words;
  *comment = line.size();
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
      ++i;
      continue;
    }
    if (line[i] == '#') {
      *comment = i;
      break;
    }
    Word word;
    if (line[i] == '"') {
      word.quoted = true;
      size_t j = i + 1;
      for (; j < line.size() && line[j] != '"'; ++j) {
        if (line[j] == '\\' && j + 1 < line.size() && (line[j + 1] == '"' || line[j + 1] == '\\')) ++j;
        word.text += line[j];
      }
      if (j >= line.size()) {
        *error = "a quoted text is not closed (write \\\" for a quote and \\\\ for a backslash inside it)";
        return {};
      }
      i = j + 1;
    } else {
      size_t j = i;
      while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
      word.text = line.substr(i, j - i);
      i = j;
    }
    word.end = i;
    words.push_back(std::move(word));
  }
  return words;
}

// Reads a scenario line by line. The directives themselves are the rows of
// kDirectives below; this class holds what every directive needs (the words
// of the line, the messages, the checks of common arguments) and, as its
// public members, the directives' actions.
class LineParser {
 public:
  // One directive: its usage line (name and arguments, without the time;
  // docs/scenarios.md shows the same line), where it may stand, how many
  // words may follow its name, what an error says after the usage, and
  // what it does. A usage word "a|b|c" lists the only words allowed there
  // for directives that check it with Choice().
  struct Row {
    std::string_view usage;
    DirectiveKind kind = DirectiveKind::kSetup;
    size_t least = 0;
    size_t most = 0;
    std::string_view note;  // empty, or said in parentheses after the usage
    void (LineParser::*apply)() = nullptr;

    constexpr std::string_view Name() const { return usage.substr(0, usage.find(' ')); }
  };
  static constexpr size_t kMany = SIZE_MAX;

  LineParser(Scenario& scenario, const std::string& file) : s_(scenario), file_(file) {}

  void Parse(const std::string& raw, int number);

  void Finish(int last_line) {
    line_ = last_line;
    if (s_.steps.empty() || !std::holds_alternative<EndRun>(s_.steps.back().action))
      Fail("the scenario has no \"end\" (write, for example, \"1:00:00 end\" as its last directive)");
  }

  // ---- The actions, in the order of the table ----

  void Clock() {
    std::string text = words_[1].text + " " + words_[2].text;
    unsigned year, month, day, hour, minute, second;
    char end = 0;
    if (sscanf(text.c_str(), "%4u-%2u-%2u %2u:%2u:%2u%c", &year, &month, &day, &hour, &minute, &second, &end) != 6 ||
        hour > 23 || minute > 59 || second > 59)
      Fail("\"" + text + "\" is not a local time YYYY-MM-DD HH:MM:SS");
    std::chrono::year_month_day date{std::chrono::year(static_cast<int>(year)), std::chrono::month(month),
                                     std::chrono::day(day)};
    if (!date.ok() || year < 1601) Fail("\"" + text + "\" is not a date");
    LocalTime& clock = s_.clock;
    clock.year = static_cast<uint16_t>(year);
    clock.month = static_cast<uint16_t>(month);
    clock.day = static_cast<uint16_t>(day);
    clock.day_of_week = static_cast<uint16_t>(std::chrono::weekday(std::chrono::sys_days(date)).c_encoding());
    clock.hour = static_cast<uint16_t>(hour);
    clock.minute = static_cast<uint16_t>(minute);
    clock.second = static_cast<uint16_t>(second);
    clock.milliseconds = 0;
  }

  void Language() { s_.japanese = Choice(1) == "ja"; }

  void Tick() { s_.start_tick = Dword(words_[1].text); }

  void Registry() {
    RegistryStep step;
    step.line = line_;
    Key(words_[1].text, &step.hive, &step.key);
    if (!(words_[2].text == "@" && !words_[2].quoted)) step.value = words_[2].text;
    const std::string& type = words_[3].text;
    if (type == "sz" || type == "expand_sz") {
      step.type = type == "sz" ? win::kRegSz : win::kRegExpandSz;
      std::string data = words_.size() > 4 ? Rest(4) : std::string();
      step.data.assign(data.begin(), data.end());
      step.data.push_back(0);
    } else if (type == "dword") {
      if (words_.size() != 5) Fail("usage: registry KEY VALUE dword NUMBER");
      uint32_t value = Dword(words_[4].text);
      for (int i = 0; i < 4; ++i) step.data.push_back(static_cast<uint8_t>(value >> (8 * i)));
      step.type = win::kRegDword;
    } else if (type == "binary") {
      step.type = win::kRegBinary;
      step.data = Bytes(4, 1 << 20);
    } else {
      Fail("unknown registry type \"" + type + "\" (sz, expand_sz, dword or binary)");
    }
    s_.registry.push_back(std::move(step));
  }

  void RegistryDelete() {
    RegistryStep step;
    step.line = line_;
    step.remove = true;
    Key(words_[1].text, &step.hive, &step.key);
    if (words_.size() == 3) {
      step.default_value = words_[2].text == "@" && !words_[2].quoted;
      if (!step.default_value) step.value = words_[2].text;
    }
    s_.registry.push_back(std::move(step));
  }

  void Ini() {
    const std::string& file = words_[1].text;
    if (file.empty() || file.find_first_of("\\/:") != std::string::npos)
      Fail("\"" + file + "\" is not a file name of the system directory");
    s_.ini.push_back(IniEntry{line_, file, words_[2].text, words_[3].text, words_[4].text});
  }

  void Module() {
    std::string canonical(sim::KnownClass(words_[1].text));
    if (canonical.empty()) Fail("unknown class \"" + words_[1].text + "\"");
    ModuleEntry entry;
    entry.instance_class = canonical;
    entry.name = words_[2].text;
    entry.state = StateCode(words_[3].text);
    entry.type = ModuleType(canonical);
    entry.is_module = !entry.type.empty();
    if (entry.is_module) KnownModule(entry.type, entry.name);
    if (entry.is_module && words_.size() == 5) Fail("a module has no parent; PARENT is for devices");
    entry.parent = words_.size() == 5 ? words_[4].text : entry.name.substr(0, entry.name.find('/'));
    for (const ModuleEntry& other : s_.modules) {
      bool same = other.name == entry.name &&
                  (other.instance_class == canonical || (entry.is_module && other.type == entry.type));
      if (same) Fail("instance \"" + entry.name + "\" of " + canonical + " is declared twice");
    }
    s_.modules.push_back(std::move(entry));
  }

  void WmiFault() {
    const auto* found = std::find_if(std::begin(kWmiFaultWords), std::end(kWmiFaultWords),
                                     [&](const WmiFaultWordEntry& entry) { return entry.word == words_[1].text; });
    if (found == std::end(kWmiFaultWords))
      Fail("unknown WMI fault \"" + words_[1].text +
           "\" (create-locator, connect, proxy-blanket, query, subscribe, next-timeout, next-cancelled, "
           "next-throws, object-text)");
    ScriptWmiFault fault{found->fault, 1, 0};
    if (words_.size() > 2) {
      uint32_t times = Dword(words_[2].text);
      if (times == 0 || times > 1000000) Fail("TIMES must be 1 to 1000000");
      fault.times = static_cast<int>(times);
    }
    if (words_.size() > 3) fault.hr = static_cast<int32_t>(Dword(words_[3].text));
    if (step_ != nullptr)
      step_->action = fault;
    else
      s_.wmi_faults.push_back(fault);
  }

  // event-log and registry-writes.
  void Refusal() {
    const bool log = Command() == "event-log";
    const bool refuse = Choice(1) == "refuse";
    if (!refuse && words_.size() > 2) FailUsage();
    uint32_t error = 0;
    if (refuse) {
      error = words_.size() > 2 ? Dword(words_[2].text) : log ? kLogFileFull : win::kErrorAccessDenied;
      if (error == 0) Fail("ERROR must be a Win32 error code other than 0");
    }
    if (log)
      Machine(EventLogRefusal{error});
    else
      Machine(RegistryRefusal{error});
  }

  void Folder() {
    static const std::map<std::string, FolderState> kStates = {{"writable", FolderState::kWritable},
                                                               {"read-only", FolderState::kReadOnly},
                                                               {"full", FolderState::kFull},
                                                               {"missing", FolderState::kMissing}};
    FolderState state = kStates.at(Choice(2));
    const std::string& path = words_[1].text;
    if (path.size() < 3 || !isalpha(static_cast<unsigned char>(path[0])) || path.substr(1, 2) != ":\\")
      Fail("\"" + path + "\" is not a folder such as C:\\QOR\\QVMAlertMan\\Temp");
    Machine(FolderChange{path, state});
  }

  // Hardware facts: edits of hardware.json's sections "library", "ipmi",
  // "driver" and "executable".

  void Library() {
    bool present = Choice(1) == "present";
    Hardware([present](json& doc) { doc["library"]["present"] = present; });
  }

  void LibraryEntries() {
    json entries = json::array();
    for (size_t i = 1; i < words_.size(); ++i) entries.push_back(words_[i].text);
    Hardware([entries](json& doc) { doc["library"]["entries"] = entries; });
  }

  void SdrStatus() {
    json answer = json::object();
    uint32_t status = 0;
    answer["status"] = Number(words_[1].text, &status) ? json(status) : json(words_[1].text);
    size_t next = 2;
    if (words_.size() > next && words_[next].text != "fails") answer["calls"] = Dword(words_[next++].text);
    if (words_.size() > next) {
      if (words_[next].text != "fails" || words_.size() > next + 1) FailUsage();
      answer["result"] = false;
    }
    // The first answer of the scenario replaces the machine's script.
    bool first = !sdr_status_seen_;
    sdr_status_seen_ = true;
    Hardware([answer, first](json& doc) {
      json& script = doc["library"]["sdr_status"];
      if (first || !script.is_array()) script = json::array();
      script.push_back(answer);
    });
  }

  void DeviceId() {
    if (words_.size() == 2 && words_[1].text == "fails") {
      Hardware([](json& doc) { doc["library"]["device_id_result"] = false; });
      return;
    }
    std::string hex = HexText(Bytes(1, 18));
    Hardware([hex](json& doc) { doc["library"]["device_id"] = hex; });
  }

  void BmcFirmware() {
    uint8_t major = 0, minor = 0;
    const std::string& text = words_[1].text;
    if (text.size() != 5 || text[2] != '.' || !Number(text.substr(0, 2), &major, 16) ||
        !Number(text.substr(3, 2), &minor, 16))
      Fail("\"" + text + "\" is not a firmware revision XX.YY of two hexadecimal bytes");
    Hardware([major, minor](json& doc) { SetFirmware(doc, major, minor); });
  }

  void Ipmi() {
    std::string how = Choice(1);
    Hardware([how](json& doc) {
      doc["ipmi"]["present"] = how != "absent";
      doc["ipmi"]["io_control_result"] = how != "fails";
    });
  }

  void IpmiAnswer() {
    std::string hex = HexText(Bytes(1, 256));
    Hardware([hex](json& doc) { doc["ipmi"]["answer"] = hex; });
  }

  void Driver() {
    bool present = Choice(1) == "present";
    Hardware([present](json& doc) { doc["driver"]["present"] = present; });
  }

  void DriverVersion() {
    json version = words_[1].text == "none" ? json(nullptr) : json(words_[1].text);
    Hardware([version](json& doc) { doc["driver"]["file_version"] = version; });
  }

  void SerialNumber() {
    std::string module = words_[1].text;
    std::vector<uint8_t> bytes = Bytes(2, 8);
    if (step_ != nullptr) {
      if (std::find(sim::kZerodModuleKeys.begin(), sim::kZerodModuleKeys.end(), module) == sim::kZerodModuleKeys.end())
        Fail("MODULE must be one of CpuBoard0-2 or IoBoard10-13");
      if (bytes.size() != 8) Fail("a serial number is 8 bytes");
      PublishSerial serial{module, {}};
      std::copy(bytes.begin(), bytes.end(), serial.bytes.begin());
      step_->action = serial;
      return;
    }
    std::string hex = HexText(bytes);
    Hardware([module, hex](json& doc) { doc["driver"]["serial_numbers"][module] = hex; });
  }

  void ExecutableVersion() {
    std::string fixed = words_[1].text;
    // The version text is "8, 0, 0, 2" unless given.
    std::string text;
    if (words_.size() > 2) {
      text = Rest(2);
    } else {
      for (char c : fixed) text += c == '.' ? std::string(", ") : std::string(1, c);
    }
    Hardware([fixed, text](json& doc) {
      doc["executable"]["file_version"] = fixed;
      doc["executable"]["file_version_text"] = text;
    });
  }

  // Timed only.

  void Start() {
    if (running_line_ != 0)
      Fail("start: the service already runs (started on line " + std::to_string(running_line_) + ")");
    running_line_ = line_;
    step_->action = StartService{};
  }

  void Stop() {
    if (running_line_ == 0) Fail("stop: the service is not started");
    running_line_ = 0;
    step_->action = StopService{};
  }

  void End() { step_->action = EndRun{}; }

  void State() {
    const ModuleEntry& entry = Instance(words_[1].text, words_[2].text);
    step_->action = ChangeState{ObjectKey(entry), StateCode(words_[3].text)};
  }

  void EventText() {
    std::string target = words_[1].text;
    if (sim::KnownClass(target).empty() && !target.ends_with("StateChange"))
      Fail("unknown event target \"" + target + "\" (an event class such as DOD_CPUBoardStateChange, or a class)");
    step_->action = DeliverEventText{target, Rest(2)};
  }

 private:
  [[noreturn]] void Fail(const std::string& message) const { throw ScenarioError(file_, line_, message); }
  // "usage: " and the directive's usage line; "TIME " before it on a timed line.
  [[noreturn]] void FailUsage() const {
    std::string usage = "usage: " + std::string(step_ != nullptr ? "TIME " : "") + std::string(row_->usage);
    if (!row_->note.empty()) usage += " (" + std::string(row_->note) + ")";
    Fail(usage);
  }

  const std::string& Command() const { return words_[0].text; }
  // The directive's row for the line's command, or none where the command
  // may not stand (a setup directive on a timed line, or the reverse).
  static const Row* Find(const std::string& command, bool timed);

  void Apply(const Row& row) {
    row_ = &row;
    size_t arguments = words_.size() - 1;
    if (arguments < row.least || arguments > row.most) FailUsage();
    (this->*row.apply)();
  }

  // Word `index`, which must be one of the alternatives "a|b|c" that the
  // usage line gives at that place (brackets of an optional word aside).
  const std::string& Choice(size_t index) const {
    std::string_view usage = row_->usage;
    for (size_t i = 0; i < index; ++i) {
      size_t blank = usage.find(' ');
      usage = blank == std::string_view::npos ? std::string_view() : usage.substr(blank + 1);
    }
    std::string_view allowed = usage.substr(0, usage.find(' '));
    if (allowed.starts_with('[')) allowed = allowed.substr(1, allowed.size() - 2);
    const std::string& word = words_[index].text;
    for (size_t from = 0; from <= allowed.size();) {
      size_t bar = std::min(allowed.find('|', from), allowed.size());
      if (allowed.substr(from, bar - from) == word) return word;
      from = bar + 1;
    }
    FailUsage();
  }

  // Setup directives go to the scenario; on a timed line, to its step.
  void Machine(MachineFault fault) {
    if (step_ != nullptr)
      step_->action = std::move(fault);
    else
      s_.machine_faults.push_back(std::move(fault));
  }

  // The line from word `index` on (comment and blanks at both ends left
  // out); a quoted word that ends the line is taken without its quotes.
  std::string Rest(size_t index) const {
    if (words_[index].quoted) {
      if (words_.size() != index + 1) Fail("nothing may follow the quoted text");
      return words_[index].text;
    }
    size_t start = index == 0 ? time_end_ : words_[index - 1].end;
    std::string rest = raw_.substr(start, comment_ - start);
    size_t first = rest.find_first_not_of(" \t\r");
    size_t last = rest.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : rest.substr(first, last - first + 1);
  }

  // H:MM:SS or H:MM:SS.mmm.
  static bool ParseTime(const std::string& text, uint64_t* ms) {
    size_t colon = text.find(':');
    if (colon == 0 || colon == std::string::npos || colon > 6) return false;
    auto digits = [&](size_t from, size_t count) {
      if (from + count > text.size()) return false;
      return std::all_of(text.begin() + static_cast<long>(from), text.begin() + static_cast<long>(from + count),
                         [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digits(0, colon) || text.size() < colon + 6 || text[colon + 3] != ':' || !digits(colon + 1, 2) ||
        !digits(colon + 4, 2))
      return false;
    uint64_t fraction = 0;
    if (text.size() != colon + 6) {
      if (text.size() != colon + 10 || text[colon + 6] != '.' || !digits(colon + 7, 3)) return false;
      fraction = std::stoul(text.substr(colon + 7, 3));
    }
    uint64_t minutes = std::stoul(text.substr(colon + 1, 2));
    uint64_t seconds = std::stoul(text.substr(colon + 4, 2));
    if (minutes > 59 || seconds > 59) return false;
    *ms = ((std::stoull(text.substr(0, colon)) * 60 + minutes) * 60 + seconds) * 1000 + fraction;
    return true;
  }

  template <typename T>
  static bool Number(const std::string& text, T* value, int base = 10) {
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) begin += 2;
    auto [ptr, ec] = std::from_chars(begin, end, *value, base);
    return ec == std::errc() && ptr == end && begin != end;
  }

  // Decimal, or 0x-hexadecimal.
  uint32_t Dword(const std::string& text) const {
    uint32_t value = 0;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!Number(text, &value, hex ? 16 : 10))
      Fail("\"" + text + "\" is not a 32-bit number (decimal, or hexadecimal after 0x)");
    return value;
  }

  std::vector<uint8_t> Bytes(size_t from, size_t most) const {
    std::vector<uint8_t> bytes;
    for (size_t i = from; i < words_.size(); ++i) {
      const std::string& text = words_[i].text;
      uint8_t byte = 0;
      if (text.size() != 2 || !Number(text, &byte, 16))
        Fail("\"" + text + "\" is not a byte of two hexadecimal digits");
      bytes.push_back(byte);
    }
    if (bytes.size() > most) Fail("more than " + std::to_string(most) + " bytes");
    return bytes;
  }

  static std::string HexText(const std::vector<uint8_t>& bytes) {
    std::string text;
    char byte[4];
    for (uint8_t b : bytes) {
      snprintf(byte, sizeof(byte), "%02x", b);
      text += text.empty() ? byte : std::string(" ") + byte;
    }
    return text;
  }

  // KEY as HKLM\..., HKEY_LOCAL_MACHINE\..., HKCR\... or HKEY_CLASSES_ROOT\...
  void Key(const std::string& text, Hive* hive, std::string* path) const {
    size_t slash = text.find('\\');
    std::string root = text.substr(0, slash);
    std::transform(root.begin(), root.end(), root.begin(), [](unsigned char c) { return std::toupper(c); });
    if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE")
      *hive = Hive::kLocalMachine;
    else if (root == "HKCR" || root == "HKEY_CLASSES_ROOT")
      *hive = Hive::kClassesRoot;
    else
      Fail("\"" + text + "\" is not a key of HKLM (HKEY_LOCAL_MACHINE) or HKCR (HKEY_CLASSES_ROOT)");
    *path = slash == std::string::npos ? std::string() : text.substr(slash + 1);
    if (path->empty() || path->find("\\\\") != std::string::npos || path->back() == '\\')
      Fail("\"" + text + "\" is not a key path such as HKLM\\SOFTWARE\\QOR\\Trelvane");
  }

  // A state name without its blank, a decimal code, or "none" (no
  // OperationalState).
  std::optional<int32_t> StateCode(const std::string& text) const {
    if (text == "none") return std::nullopt;
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    if (const StateEntry* entry = FindStateByName(upper)) return entry->code;
    int64_t code = 0;
    if (Number(text, &code) && code >= INT32_MIN && code <= UINT32_MAX)
      return static_cast<int32_t>(static_cast<uint32_t>(code & 0xFFFFFFFF));
    Fail("unknown state \"" + text + "\" (a name such as SIMPLEX, DUPLEX, REMOVED, a decimal code, or none)");
  }

  // Refuses a module number the servers do not have (of `type`, "cpu" or
  // "pci"): the service would take it for one of its pairs' modules.
  void KnownModule(const std::string& type, const std::string& name) const {
    std::string numbers;
    for (std::string_view key : sim::kZerodModuleKeys) {
      if (key.starts_with("CpuBoard") != (type == "cpu")) continue;
      std::string_view number = key.substr(key.find_first_of("0123456789"));
      if (number == name) return;
      numbers += (numbers.empty() ? "" : ", ") + std::string(number);
    }
    Fail("no " + std::string(type == "cpu" ? "CPU" : "PCI") + " module \"" + name + "\" on these servers; the " +
         (type == "cpu" ? "CPU" : "PCI") + " modules are " + numbers);
  }

  // The declared instance of CLASS named NAME.
  const ModuleEntry& Instance(const std::string& class_text, const std::string& name) const {
    std::string canonical(sim::KnownClass(class_text));
    if (canonical.empty()) Fail("unknown class \"" + class_text + "\"");
    if (std::string type = ModuleType(canonical); !type.empty()) KnownModule(type, name);
    for (const ModuleEntry& entry : s_.modules)
      if (entry.name == name && (entry.instance_class == canonical || SameModuleType(entry, canonical))) return entry;
    Fail("no instance \"" + name + "\" of " + canonical + " was declared with \"module\"");
  }
  static bool SameModuleType(const ModuleEntry& entry, const std::string& canonical) {
    return entry.is_module && ModuleType(canonical) == entry.type;
  }
  // "cpu" or "pci" for a module class of any generation, else empty.
  static std::string ModuleType(const std::string& canonical) {
    for (int gen = 0; gen < kPlatformGenerations; ++gen) {
      if (canonical == DeviceClassTable[0][gen]) return "cpu";
      if (canonical == DeviceClassTable[1][gen]) return "pci";
    }
    return {};
  }

  void Hardware(HardwareEdit edit) {
    // Each edit is checked at once against the machine's own reader, so a
    // bad value is reported on its line.
    edit(hardware_check_);
    try {
      sim::ParseHardwareFacts(hardware_check_, "hardware.json");
    } catch (const std::exception& e) {
      Fail(e.what());
    }
    s_.hardware.push_back(std::move(edit));
  }

  // Bytes 3 and 4 of the device ID record and of the IPMI answer.
  static void SetFirmware(json& doc, uint8_t major, uint8_t minor) {
    auto patch = [&](json& field, size_t size) {
      std::vector<std::string> bytes;
      std::istringstream in(field.is_string() ? field.get<std::string>() : std::string());
      for (std::string byte; in >> byte;) bytes.push_back(byte);
      bytes.resize(std::max(bytes.size(), size), "00");
      char text[3];
      snprintf(text, sizeof(text), "%02x", major);
      bytes[3] = text;
      snprintf(text, sizeof(text), "%02x", minor);
      bytes[4] = text;
      std::string joined;
      for (const std::string& byte : bytes) joined += joined.empty() ? byte : " " + byte;
      field = joined;
    };
    patch(doc["library"]["device_id"], 18);
    patch(doc["ipmi"]["answer"], 5);
  }

  Scenario& s_;
  const std::string& file_;
  int line_ = 0;
  std::string raw_;
  std::vector<Word> words_;
  size_t comment_ = 0;
  size_t time_end_ = 0;        // where a timed directive's command begins
  const Row* row_ = nullptr;   // the line's directive
  TimedStep* step_ = nullptr;  // the line's step, on a timed line
  int running_line_ = 0;
  bool sdr_status_seen_ = false;
  json hardware_check_ = BaselineHardware();
};

using enum DirectiveKind;
using P = LineParser;
constexpr size_t kMany = LineParser::kMany;

// Every directive of a scenario file. A new directive is a new row here (in
// its group) and a row of docs/scenarios.md's table; the reader, the list
// of fenra-sim --help and the check of the documentation all come from
// this table.
constexpr LineParser::Row kDirectives[] = {
    // Setup: the machine before the clock starts.
    {"clock YYYY-MM-DD HH:MM:SS", kSetup, 2, 2, "", &P::Clock},
    {"language en|ja", kSetup, 1, 1, "", &P::Language},
    {"tick N", kSetup, 1, 1, "the first reading of the millisecond tick counter", &P::Tick},
    {"registry KEY VALUE sz|expand_sz|dword|binary DATA", kSetup, 3, kMany, "", &P::Registry},
    {"registry-delete KEY [VALUE]", kSetup, 1, 2, "", &P::RegistryDelete},
    {"ini FILE SECTION KEY VALUE", kSetup, 4, 4, "", &P::Ini},
    {"module CLASS INSTANCE STATE [PARENT]", kSetup, 3, 4, "", &P::Module},
    // Setup, or timed: in effect when the clock starts, or from their time on.
    {"wmi-fault FAULT [TIMES] [HRESULT]", kSetupOrTimed, 1, 3, "", &P::WmiFault},
    {"event-log accept|refuse [ERROR]", kSetupOrTimed, 1, 2, "", &P::Refusal},
    {"registry-writes accept|refuse [ERROR]", kSetupOrTimed, 1, 2, "", &P::Refusal},
    {"folder PATH writable|read-only|full|missing", kSetupOrTimed, 2, 2, "", &P::Folder},
    {"serial-number MODULE BYTES", kSetupOrTimed, 1, kMany, "MODULE CpuBoard0-2 or IoBoard10-13", &P::SerialNumber},
    // Hardware facts (setup).
    {"library present|absent", kHardware, 1, 1, "", &P::Library},
    {"library-entries [NAME ...]", kHardware, 0, kMany, "", &P::LibraryEntries},
    {"sdr-status init|ready|disable|N [CALLS] [fails]", kHardware, 1, 3, "", &P::SdrStatus},
    {"device-id BYTES|fails", kHardware, 1, kMany, "", &P::DeviceId},
    {"bmc-firmware XX.YY", kHardware, 1, 1, "two hexadecimal bytes", &P::BmcFirmware},
    {"ipmi present|absent|fails", kHardware, 1, 1, "", &P::Ipmi},
    {"ipmi-answer BYTES", kHardware, 0, kMany, "", &P::IpmiAnswer},
    {"driver present|absent", kHardware, 1, 1, "", &P::Driver},
    {"driver-version A.B.C.D|none", kHardware, 1, 1, "", &P::DriverVersion},
    {"executable-version A.B.C.D [TEXT]", kHardware, 1, kMany, "", &P::ExecutableVersion},
    // Timed: inputs at their time on the virtual clock.
    {"start", kTimed, 0, 0, "", &P::Start},
    {"stop", kTimed, 0, 0, "", &P::Stop},
    {"state CLASS INSTANCE STATE", kTimed, 3, 3, "", &P::State},
    {"event-text TARGET TEXT", kTimed, 2, kMany, "", &P::EventText},
    {"end", kTimed, 0, 0, "", &P::End},
};

const LineParser::Row* LineParser::Find(const std::string& command, bool timed) {
  for (const Row& row : kDirectives) {
    bool here = row.kind == kSetupOrTimed || (row.kind == kTimed) == timed;
    if (here && row.Name() == command) return &row;
  }
  return nullptr;
}

void LineParser::Parse(const std::string& raw, int number) {
  line_ = number;
  raw_ = raw;
  row_ = nullptr;
  step_ = nullptr;
  std::string error;
  words_ = SplitWords(raw, &comment_, &error);
  if (!error.empty()) Fail(error);
  if (words_.empty()) return;
  uint64_t at_ms = 0;
  if (ParseTime(words_[0].text, &at_ms)) {
    time_end_ = words_[0].end;
    words_.erase(words_.begin());
    if (words_.empty()) Fail("a time without a directive");
    if (!s_.steps.empty()) {
      const TimedStep& last = s_.steps.back();
      if (std::holds_alternative<EndRun>(last.action))
        Fail("nothing may follow \"end\" (line " + std::to_string(last.line) + ")");
      if (at_ms < last.at_ms) Fail("time goes backwards (line " + std::to_string(last.line) + " is later)");
    }
    const Row* row = Find(Command(), true);
    if (row == nullptr) Fail("unknown timed directive \"" + Command() + "\"");
    TimedStep step;
    step.at_ms = at_ms;
    step.line = line_;
    step.text = Rest(0);
    step_ = &step;
    Apply(*row);
    step_ = nullptr;
    s_.steps.push_back(std::move(step));
  } else if (isdigit(static_cast<unsigned char>(words_[0].text[0])) &&
             words_[0].text.find(':') != std::string::npos) {
    Fail("\"" + words_[0].text + "\" is not a time H:MM:SS or H:MM:SS.mmm");
  } else {
    if (!s_.steps.empty())
      Fail("\"" + words_[0].text + "\" is not timed: setup directives come before the first timed one");
    const Row* row = Find(Command(), false);
    if (row == nullptr) Fail("unknown directive \"" + Command() + "\"");
    Apply(*row);
  }
}

}  // namespace

ScenarioError::ScenarioError(const std::string& file, int line, const std::string& message)
    : std::runtime_error(sim::PrintableText(file) + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " +
                         sim::PrintableText(message)) {}

std::string_view WmiFaultWord(sim::WmiFault fault) {
  for (const WmiFaultWordEntry& entry : kWmiFaultWords)
    if (entry.fault == fault) return entry.word;
  return "?";
}

Scenario ParseScenario(const std::string& text, const std::string& file) {
  // A file that is not UTF-8 text (a binary, a picture) is refused as a
  // whole at its first such line, instead of as a string of odd directives.
  if (text.find('\0') != std::string::npos || !sim::IsValidUtf8(text)) {
    size_t line_start = 0;
    for (int number = 1;; ++number) {
      size_t end = std::min(text.find('\n', line_start), text.size());
      std::string_view line = std::string_view(text).substr(line_start, end - line_start);
      if (line.find('\0') != std::string_view::npos || !sim::IsValidUtf8(line))
        throw ScenarioError(file, number, "not a text file (a scenario is UTF-8 text)");
      line_start = end + 1;
    }
  }
  Scenario scenario;
  scenario.file = file;
  LineParser parser(scenario, file);
  std::istringstream in(text);
  int number = 0;
  std::string line;
  while (std::getline(in, line)) {
    ++number;
    if (number == 1 && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
    parser.Parse(line, number);
  }
  parser.Finish(std::max(number, 1));
  return scenario;
}

std::vector<DirectiveSyntax> ScenarioDirectives() {
  std::vector<DirectiveSyntax> list;
  for (const LineParser::Row& row : kDirectives) list.push_back({row.usage, row.kind});
  return list;
}

Scenario LoadScenario(const std::string& path) {
  std::string text;
  if (int error = sim::ReadHostFile(path, &text)) throw ScenarioError(path, 0, std::strerror(error));
  return ParseScenario(text, path);
}

}  // namespace fenra::runner
