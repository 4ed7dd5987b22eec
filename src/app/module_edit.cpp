#include "app/module_edit.h"

#include <stdexcept>

#include "platform/sim/wmi_inventory.h"
#include "wmi/wmi_tables.h"

namespace fenra::app {
namespace {

using nlohmann::json;

json& Modules(json& document) {
  if (!document.contains("wmi") || !document["wmi"].contains("modules") || !document["wmi"]["modules"].is_array())
    throw std::invalid_argument("the hardware description lists no modules (\"wmi\": {\"modules\": [...]})");
  return document["wmi"]["modules"];
}

json* FindModule(json& modules, const std::string& name) {
  for (json& module : modules)
    if (module.contains("name") && module["name"].is_string() && module["name"] == name) return &module;
  return nullptr;
}

std::string StateText(const json& module) {
  if (!module.contains("state") || module["state"].is_null()) return "(no state)";
  return module["state"].is_string() ? module["state"].get<std::string>() : module["state"].dump();
}

std::string Label(const json& module) {
  if (module.contains("class") && module["class"].is_string())
    return module["class"].get<std::string>() + " " +
           (module.contains("name") && module["name"].is_string() ? module["name"].get<std::string>() : "?");
  std::string type = module.value("type", std::string());
  std::string name = module.contains("name") && module["name"].is_string() ? module["name"].get<std::string>() : "?";
  return (type == "cpu" ? "CPU" : type == "pci" ? "PCI" : type) + " module " + name;
}

// The provider's ObjectKey of an entry of the "modules" or "devices" list.
std::string KeyOf(json& document, const json& entry) {
  for (const char* list : {"modules", "devices"}) {
    json& entries = document["wmi"][list];
    if (!entries.is_array()) continue;
    for (size_t i = 0; i < entries.size(); ++i)
      if (&entries[i] == &entry) return sim::InstanceKey(entry, list == std::string_view("modules"), i);
  }
  return {};
}

}  // namespace

std::string PartnerOf(const std::string& module) {
  static const char* const kPairs[][2] = {{"0", "1"}, {"10", "11"}, {"12", "13"}};
  for (const auto& pair : kPairs) {
    if (module == pair[0]) return pair[1];
    if (module == pair[1]) return pair[0];
  }
  return {};
}

std::vector<ModuleChange> EditModule(json& document, ModuleEdit edit, const std::string& module,
                                     const std::string& state) {
  json& modules = Modules(document);
  json* target = FindModule(modules, module);
  if (target == nullptr) {
    std::string names;
    for (const json& entry : modules)
      if (entry.contains("name") && entry["name"].is_string())
        names += (names.empty() ? "" : ", ") + entry["name"].get<std::string>();
    throw std::invalid_argument("no module \"" + module + "\" on this machine; its modules are " +
                                (names.empty() ? std::string("none") : names) + " (fenra-hw show lists them)");
  }

  std::vector<std::pair<json*, std::string>> changes;
  json* partner = FindModule(modules, PartnerOf(module));
  switch (edit) {
    case ModuleEdit::kPull:
      changes = {{target, "REMOVED"}, {partner, "SIMPLEX"}};
      break;
    case ModuleEdit::kInsert:
      changes = {{target, "DUPLEX"}, {partner, "DUPLEX"}};
      break;
    case ModuleEdit::kState: {
      std::string name;
      for (char c : state) name += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
      if (FindStateByName(name) == nullptr) {
        std::string names;
        for (const StateEntry& entry : kStateTable) names += (names.empty() ? "" : ", ") + std::string(entry.name());
        throw std::invalid_argument("unknown state \"" + state + "\"; the states are " + names + " (any case)");
      }
      changes = {{target, name}};
      break;
    }
  }
  // The devices a module holds leave with it and come back with it: a pull
  // makes them REMOVED, an insert brings those back ONLINE.
  if (edit != ModuleEdit::kState && document["wmi"].contains("devices") && document["wmi"]["devices"].is_array()) {
    for (json& device : document["wmi"]["devices"]) {
      if (!device.is_object() || device.value("module", std::string()) != module) continue;
      if (edit == ModuleEdit::kPull) changes.emplace_back(&device, "REMOVED");
      else if (StateText(device) == "REMOVED") changes.emplace_back(&device, "ONLINE");
    }
  }
  std::vector<ModuleChange> done;
  for (auto& [entry, new_state] : changes) {
    if (entry == nullptr || StateText(*entry) == new_state) continue;
    done.push_back({KeyOf(document, *entry), new_state, Label(*entry) + ": " + StateText(*entry) + " -> " + new_state});
    (*entry)["state"] = new_state;
  }
  return done;
}

std::vector<std::string> ListModules(const json& document) {
  std::vector<std::string> lines;
  json copy = document;
  for (const json& module : Modules(copy)) lines.push_back(Label(module) + ": " + StateText(module));
  return lines;
}

}  // namespace fenra::app
