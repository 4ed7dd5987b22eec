#include "runner/scenario_hardware.h"

#include <stdexcept>

#include "platform/sim/hardware_facts.h"
#include "platform/sim/wmi_inventory.h"

namespace fenra::runner {
namespace {

using nlohmann::json;

json ModuleJson(const ModuleEntry& entry) {
  json item = {{"name", entry.name}};
  if (entry.is_module) {
    item["type"] = entry.type;
  } else {
    item["class"] = entry.instance_class;
    item["module"] = entry.parent;
  }
  item["state"] = entry.state ? json(*entry.state) : json(nullptr);
  return item;
}

}  // namespace

json BaselineHardware() {
  json facts = sim::BaselineHardwareFacts();
  facts["driver"]["file_version"] = nullptr;
  facts["driver"]["serial_numbers"] = json::object();
  return facts;
}

std::string ObjectKey(const ModuleEntry& entry) {
  // The provider's own reading of one instance gives its key.
  sim::SimWmiInventory inventory;
  std::string error;
  json section = entry.is_module ? json{{"modules", {ModuleJson(entry)}}} : json{{"devices", {ModuleJson(entry)}}};
  if (!sim::ParseWmiSection(section, &inventory, &error) || inventory.instances.size() != 1)
    throw std::logic_error("instance " + entry.name + ": " + error);
  return inventory.instances[0].key;
}

json WmiSection(const std::vector<ModuleEntry>& modules) {
  json section = {{"modules", json::array()}, {"devices", json::array()}};
  for (const ModuleEntry& entry : modules)
    section[entry.is_module ? "modules" : "devices"].push_back(ModuleJson(entry));
  return section;
}

}  // namespace fenra::runner
