#include "platform/sim/wmi_inventory.h"

#include <algorithm>
#include <set>

#include "platform/sim/hardware_description.h"
#include "platform/sim/text.h"
#include "platform/sim/wql.h"
#include "wmi/wmi_tables.h"

namespace fenra::sim {
namespace {

using nlohmann::json;

struct ModuleType {
  const char* type;
  std::vector<std::string> classes;
};

const std::vector<ModuleType>& ModuleTypes() {
  static const std::vector<ModuleType> types = {
      {"cpu", {DeviceClassTable[0][0], DeviceClassTable[0][1]}},
      {"pci", {DeviceClassTable[1][0], DeviceClassTable[1][1]}},
  };
  return types;
}

bool IsModuleClass(std::string_view name) {
  for (const ModuleType& type : ModuleTypes())
    if (std::find(type.classes.begin(), type.classes.end(), name) != type.classes.end()) return true;
  return false;
}

// Every device class of the table, once, in table order.
std::vector<std::string> DeviceClasses() {
  std::vector<std::string> classes;
  for (int row = 2; row < kDeviceClassRows; ++row)
    for (int gen = 0; gen < kPlatformGenerations; ++gen) {
      std::string name = DeviceClassTable[row][gen];
      if (std::find(classes.begin(), classes.end(), name) == classes.end()) classes.push_back(name);
    }
  return classes;
}

bool ReadState(const json& entry, std::optional<int32_t>* state, std::string* error) {
  state->reset();
  if (!entry.contains("state") || entry["state"].is_null()) return true;
  const json& value = entry["state"];
  if (value.is_number_integer()) {
    *state = value.get<int32_t>();
    return true;
  }
  if (value.is_string()) {
    if (const StateEntry* known = FindStateByName(value.get<std::string>())) {
      *state = known->code;
      return true;
    }
  }
  *error = "unknown state " + value.dump();
  return false;
}

bool ReadName(const json& entry, std::optional<std::string>* name, std::string* error) {
  name->reset();
  if (!entry.contains("name") || entry["name"].is_null()) return true;
  if (!entry["name"].is_string()) {
    *error = "\"name\" must be a text or null";
    return false;
  }
  *name = entry["name"].get<std::string>();
  return true;
}

std::string OptionalText(const json& entry, const char* field) {
  return entry.contains(field) && entry[field].is_string() ? entry[field].get<std::string>() : std::string();
}

bool ParseEntry(const json& entry, bool module, size_t index, SimWmiInstance* instance, std::string* error) {
  if (!entry.is_object()) {
    *error = "not an object";
    return false;
  }
  if (!ReadName(entry, &instance->name, error) || !ReadState(entry, &instance->state, error)) return false;
  std::string name = instance->name.value_or("#" + std::to_string(index));
  std::string path = OptionalText(entry, "path");
  if (module) {
    std::string type = OptionalText(entry, "type");
    auto found = std::find_if(ModuleTypes().begin(), ModuleTypes().end(),
                              [&](const ModuleType& t) { return type == t.type; });
    if (found == ModuleTypes().end()) {
      *error = "\"type\" must be \"cpu\" or \"pci\"";
      return false;
    }
    instance->classes = found->classes;
    instance->key = InstanceKey(entry, true, index);
    if (path.empty()) path = "{" + name + "," + type + "}";
  } else {
    std::string_view known = KnownClass(OptionalText(entry, "class"));
    if (known.empty() || IsModuleClass(known)) {
      *error = "\"class\" must name a device class (modules go under \"modules\")";
      return false;
    }
    instance->classes = {std::string(known)};
    instance->key = InstanceKey(entry, false, index);
    if (path.empty()) path = "{" + OptionalText(entry, "module") + "," + std::string(known) + "," + name + "}";
  }
  instance->device_path = path;
  return true;
}

}  // namespace

std::string InstanceKey(const json& entry, bool module, size_t index) {
  std::string name = entry.contains("name") && entry["name"].is_string() ? entry["name"].get<std::string>()
                                                                          : "#" + std::to_string(index);
  if (module) return OptionalText(entry, "type") + "/" + name;
  return std::string(KnownClass(OptionalText(entry, "class"))) + "/" + name;
}

std::string_view KnownClass(std::string_view name) {
  for (int row = 0; row < kDeviceClassRows; ++row)
    for (int gen = 0; gen < kPlatformGenerations; ++gen)
      if (EqualsIgnoreCase(name, DeviceClassTable[row][gen])) return DeviceClassTable[row][gen];
  return {};
}

bool ParseWmiSection(const json& section, SimWmiInventory* inventory, std::string* error) {
  if (!section.is_object()) {
    *error = "wmi: must be an object";
    return false;
  }
  SimWmiInventory parsed;
  std::set<std::string> keys;
  for (const char* list : {"modules", "devices"}) {
    if (!section.contains(list)) continue;
    if (!section[list].is_array()) {
      *error = std::string("wmi.") + list + ": must be an array";
      return false;
    }
    size_t index = 0;
    for (const json& entry : section[list]) {
      SimWmiInstance instance;
      std::string why;
      bool parsed_entry = ParseEntry(entry, list == std::string_view("modules"), index, &instance, &why);
      if (parsed_entry && !keys.insert(instance.key).second) why = "duplicate " + instance.key;
      if (!why.empty()) {
        *error = std::string("wmi.") + list + "[" + std::to_string(index) + "]: " + why;
        return false;
      }
      parsed.instances.push_back(std::move(instance));
      ++index;
    }
  }
  *inventory = std::move(parsed);
  return true;
}

bool ParseWmiInventory(std::string_view text, const std::string& name, SimWmiInventory* inventory,
                       std::string* error) {
  json document;
  if (!ParseHardwareDescription(text, name, &document, error)) return false;
  static const json kEmpty = json::object();
  if (!ParseWmiSection(document.contains("wmi") ? document["wmi"] : kEmpty, inventory, error)) {
    *error = name + ": " + *error;
    return false;
  }
  return true;
}

json BaselineWmiSection() {
  json modules = json::array();
  for (const char* name : {"0", "1"}) modules.push_back({{"name", name}, {"type", "cpu"}, {"state", "DUPLEX"}});
  for (const char* name : {"10", "11", "12", "13"})
    modules.push_back({{"name", name}, {"type", "pci"}, {"state", "DUPLEX"}});
  json devices = json::array();
  for (const std::string& device_class : DeviceClasses())
    for (const char* module : {"10", "11"})
      devices.push_back({{"class", device_class},
                         {"name", std::string(module) + "/1"},
                         {"module", module},
                         {"state", "ONLINE"}});
  return {{"modules", modules}, {"devices", devices}};
}

}  // namespace fenra::sim
