#include "platform/sim/hardware_facts.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <stdexcept>

#include "platform/sim/hardware_description.h"

namespace fenra::sim {
namespace {

using nlohmann::json;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw std::runtime_error(where + ": " + what);
}

// Hex bytes, blanks between them allowed: "00 20 01 81 23".
std::vector<uint8_t> ParseBytes(const json& value, size_t max_size, const std::string& where) {
  if (!value.is_string()) Fail(where, "must be a string of hexadecimal bytes");
  std::string digits;
  for (char c : value.get<std::string>()) {
    if (c == ' ') continue;
    if (!isxdigit(static_cast<unsigned char>(c))) Fail(where, std::string("not a hexadecimal digit: '") + c + "'");
    digits += c;
  }
  if (digits.size() % 2 != 0) Fail(where, "an odd number of hexadecimal digits");
  if (digits.size() / 2 > max_size) Fail(where, "more than " + std::to_string(max_size) + " bytes");
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

template <size_t N>
std::array<uint8_t, N> ParseExactBytes(const json& value, const std::string& where) {
  std::vector<uint8_t> bytes = ParseBytes(value, N, where);
  if (bytes.size() != N) Fail(where, "must be exactly " + std::to_string(N) + " bytes");
  std::array<uint8_t, N> out{};
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

std::string FormatBytes(const uint8_t* data, size_t size) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < size; ++i) {
    snprintf(byte, sizeof(byte), "%02x", data[i]);
    if (i > 0) text += ' ';
    text += byte;
  }
  return text;
}

// "1.1.23.9": four decimal parts of 0 to 65535.
FixedFileVersion ParseFileVersion(const json& value, const std::string& where) {
  if (!value.is_string()) Fail(where, "must be a version such as \"1.1.23.9\"");
  std::string text = value.get<std::string>();
  // Read with from_chars: sscanf's %u wraps a number beyond 32 bits
  // ("4294967296" read as 0) instead of refusing it.
  uint64_t parts[4];
  const char* next = text.data();
  const char* end = text.data() + text.size();
  for (int i = 0; i < 4; ++i) {
    auto [stop, error] = std::from_chars(next, end, parts[i]);
    if (stop == next || (i < 3 ? stop == end || *stop != '.' : stop != end))
      Fail(where, "\"" + text + "\" is not a version of four numbers such as \"1.1.23.9\"");
    if (error != std::errc() || parts[i] > 0xFFFF) Fail(where, "\"" + text + "\" has a part above 65535");
    next = stop + 1;
  }
  return {static_cast<uint16_t>(parts[0]), static_cast<uint16_t>(parts[1]), static_cast<uint16_t>(parts[2]),
          static_cast<uint16_t>(parts[3])};
}

uint32_t ParseSdrStatus(const json& value, const std::string& where) {
  if (value.is_number_unsigned()) return value.get<uint32_t>();
  if (value == "init") return 0;
  if (value == "ready") return 1;
  if (value == "disable") return 2;
  Fail(where, "must be \"init\", \"ready\", \"disable\" or a number");
}

bool ParseBool(const json& section, const char* name, bool fallback, const std::string& where) {
  if (!section.contains(name)) return fallback;
  if (!section[name].is_boolean()) Fail(where + "." + name, "must be true or false");
  return section[name].get<bool>();
}

// The section, or null when it is left out; it must be an object.
const json* Section(const json& document, const char* name) {
  if (!document.contains(name)) return nullptr;
  const json& section = document[name];
  if (!section.is_object()) Fail(name, "must be an object");
  return &section;
}

LibraryFacts ParseLibrary(const json& section) {
  LibraryFacts facts;
  facts.present = ParseBool(section, "present", true, "library");
  if (section.contains("folder")) {
    if (!section["folder"].is_string()) Fail("library.folder", "must be a Windows folder such as \"C:\\\\QOR\"");
    facts.folder = section["folder"].get<std::string>();
  }
  if (section.contains("entries")) {
    const json& entries = section["entries"];
    if (!entries.is_array()) Fail("library.entries", "must be a list of entry names");
    facts.sdr_status_entry = std::find(entries.begin(), entries.end(), "QVMGetSdrRepositoryStatus") != entries.end();
    facts.device_id_entry = std::find(entries.begin(), entries.end(), "QVMGetDeviceID_V15") != entries.end();
  }
  if (section.contains("sdr_status")) {
    const json& script = section["sdr_status"];
    if (!script.is_array() || script.empty()) Fail("library.sdr_status", "must be a non-empty list of answers");
    facts.sdr_status.clear();
    for (size_t i = 0; i < script.size(); ++i) {
      std::string where = "library.sdr_status[" + std::to_string(i) + "]";
      const json& answer = script[i];
      if (!answer.is_object()) Fail(where, "must be an object such as {\"status\": \"ready\"}");
      SdrAnswer parsed;
      if (answer.contains("status")) parsed.status = ParseSdrStatus(answer["status"], where + ".status");
      parsed.result = ParseBool(answer, "result", true, where) ? 1 : 0;
      if (answer.contains("calls")) {
        if (!answer["calls"].is_number_unsigned() || answer["calls"].get<uint64_t>() == 0 ||
            answer["calls"].get<uint64_t>() > UINT32_MAX)
          Fail(where + ".calls", "must be a number of 1 to 4294967295");
        parsed.calls = answer["calls"].get<uint32_t>();
      }
      facts.sdr_status.push_back(parsed);
    }
  }
  if (section.contains("device_id")) facts.device_id = ParseExactBytes<18>(section["device_id"], "library.device_id");
  facts.device_id_result = ParseBool(section, "device_id_result", true, "library") ? 1 : 0;
  return facts;
}

IpmiFacts ParseIpmi(const json& section) {
  IpmiFacts facts;
  facts.present = ParseBool(section, "present", true, "ipmi");
  facts.io_control_result = ParseBool(section, "io_control_result", true, "ipmi");
  if (section.contains("answer")) facts.answer = ParseBytes(section["answer"], 256, "ipmi.answer");
  return facts;
}

DriverFacts ParseDriver(const json& section) {
  DriverFacts facts;
  facts.present = ParseBool(section, "present", true, "driver");
  if (section.contains("file_version") && !section["file_version"].is_null())
    facts.version = VersionResourceFacts{ParseFileVersion(section["file_version"], "driver.file_version"), {}};
  if (section.contains("serial_numbers")) {
    const json& serials = section["serial_numbers"];
    if (!serials.is_object()) Fail("driver.serial_numbers", "must be an object such as {\"CpuBoard0\": \"...\"}");
    for (const auto& [name, value] : serials.items()) {
      std::string where = "driver.serial_numbers." + name;
      if (std::find(kZerodModuleKeys.begin(), kZerodModuleKeys.end(), name) == kZerodModuleKeys.end())
        Fail(where, "not a module key of the driver (CpuBoard0-2, IoBoard10-13)");
      facts.serial_numbers[name] = ParseExactBytes<8>(value, where);
    }
  }
  return facts;
}

ExecutableFacts ParseExecutable(const json& section) {
  ExecutableFacts facts;
  if (section.contains("path")) {
    if (!section["path"].is_string()) Fail("executable.path", "must be a Windows path");
    facts.path = section["path"].get<std::string>();
  }
  bool has_fixed = section.contains("file_version");
  bool has_text = section.contains("file_version_text");
  if (!has_fixed && !has_text) return facts;
  // Either member replaces the built-in resource; both null leave none.
  facts.version.reset();
  VersionResourceFacts resource;
  if (has_fixed && !section["file_version"].is_null())
    resource.fixed = ParseFileVersion(section["file_version"], "executable.file_version");
  if (has_text && !section["file_version_text"].is_null()) {
    if (!section["file_version_text"].is_string()) Fail("executable.file_version_text", "must be a string");
    for (const char* language : {"040904b0", "041104b0"})
      resource.strings[std::string(language) + "\\FileVersion"] = section["file_version_text"].get<std::string>();
  }
  if (resource.fixed || !resource.strings.empty()) facts.version = std::move(resource);
  return facts;
}

}  // namespace

HardwareFacts ParseHardwareFacts(const json& document, const std::filesystem::path& file) {
  HardwareFacts facts;
  try {
    if (!document.is_object()) Fail("hardware description", "must be a JSON object");
    if (const json* section = Section(document, "library")) facts.library = ParseLibrary(*section);
    if (const json* section = Section(document, "ipmi")) facts.ipmi = ParseIpmi(*section);
    if (const json* section = Section(document, "driver")) facts.driver = ParseDriver(*section);
    if (const json* section = Section(document, "executable")) facts.executable = ParseExecutable(*section);
  } catch (const std::exception& e) {
    throw std::runtime_error(file.string() + ": " + e.what());
  }
  return facts;
}

HardwareFacts LoadHardwareFacts(const std::filesystem::path& file) {
  if (!std::filesystem::exists(file)) return {};
  json document;
  if (std::string error; !ReadHardwareDescription(file, &document, &error)) throw std::runtime_error(error);
  return ParseHardwareFacts(document, file);
}

json BaselineHardwareFacts() {
  // Get Device ID response behind its completion code: device 0x20,
  // revision 0x81, firmware 01.23, IPMI 1.5.
  static constexpr uint8_t kDeviceId[18] = {0x00, 0x20, 0x81, 0x01, 0x23, 0x51, 0xBF, 0x80, 0x1C, 0x00, 0x01, 0x00};
  static constexpr uint8_t kSerials[7][8] = {
      {0x51, 0x43, 0x50, 0x55, 0x30, 0x00, 0x10, 0x01}, {0x51, 0x43, 0x50, 0x55, 0x31, 0x00, 0x10, 0x02},
      {0x51, 0x43, 0x50, 0x55, 0x32, 0x00, 0x10, 0x03}, {0x51, 0x49, 0x4F, 0x31, 0x30, 0x00, 0x20, 0x01},
      {0x51, 0x49, 0x4F, 0x31, 0x31, 0x00, 0x20, 0x02}, {0x51, 0x49, 0x4F, 0x31, 0x32, 0x00, 0x20, 0x03},
      {0x51, 0x49, 0x4F, 0x31, 0x33, 0x00, 0x20, 0x04},
  };
  json serials = json::object();
  for (size_t i = 0; i < kZerodModuleKeys.size(); ++i)
    serials[std::string(kZerodModuleKeys[i])] = FormatBytes(kSerials[i], 8);
  return json{
      {"library",
       {{"present", true},
        {"entries", {"QVMGetSdrRepositoryStatus", "QVMGetDeviceID_V15"}},
        {"sdr_status", {{{"status", "ready"}}}},
        {"device_id", FormatBytes(kDeviceId, sizeof(kDeviceId))},
        {"device_id_result", true}}},
      {"ipmi", {{"present", true}, {"io_control_result", true}, {"answer", FormatBytes(kDeviceId, 16)}}},
      {"driver", {{"present", true}, {"file_version", "1.1.23.9"}, {"serial_numbers", serials}}},
      {"executable",
       {{"path", ExecutableFacts{}.path}, {"file_version", "8.0.0.2"}, {"file_version_text", "8, 0, 0, 2"}}},
  };
}

void PublishSerialNumbers(Registry& registry, const DriverFacts& driver) {
  for (const auto& [module, serial] : driver.serial_numbers) {
    std::string path = std::string(kZerodKey) + "\\" + module;
    RegKeyPtr key;
    int32_t result = registry.CreateKey(Hive::kLocalMachine, path, win::kKeyAllAccess, &key, nullptr);
    if (result == 0) {
      uint8_t stored[8] = {};
      uint32_t type = 0;
      uint32_t size = sizeof(stored);
      if (registry.QueryValue(*key, "SerialNumber", &type, stored, &size) == 0 && type == win::kRegBinary &&
          size == sizeof(stored) && std::equal(serial.begin(), serial.end(), stored))
        continue;
      result = registry.SetValue(*key, "SerialNumber", win::kRegBinary, serial.data(), 8);
    }
    if (result != 0)
      throw std::runtime_error("cannot publish the serial number of " + path + ": error " + std::to_string(result));
  }
}

}  // namespace fenra::sim
