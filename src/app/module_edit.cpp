#include "app/module_edit.h"

#include <stdexcept>

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
  std::string type = module.value("type", std::string());
  std::string name = module.contains("name") && module["name"].is_string() ? module["name"].get<std::string>() : "?";
  return (type == "cpu" ? "CPU" : type == "pci" ? "PCI" : type) + " module " + name;
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

std::vector<std::string> EditModule(json& document, ModuleEdit edit, const std::string& module,
                                    const std::string& state) {
  json& modules = Modules(document);
  json* target = FindModule(modules, module);
  if (target == nullptr) throw std::invalid_argument("no module \"" + module + "\" in the hardware description");

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
      if (FindStateByName(name) == nullptr) throw std::invalid_argument("unknown state \"" + state + "\"");
      changes = {{target, name}};
      break;
    }
  }
  std::vector<std::string> lines;
  for (auto& [entry, new_state] : changes) {
    if (entry == nullptr || StateText(*entry) == new_state) continue;
    lines.push_back(Label(*entry) + ": " + StateText(*entry) + " -> " + new_state);
    (*entry)["state"] = new_state;
  }
  return lines;
}

std::vector<std::string> ListModules(const json& document) {
  std::vector<std::string> lines;
  json copy = document;
  for (const json& module : Modules(copy)) lines.push_back(Label(module) + ": " + StateText(module));
  return lines;
}

}  // namespace fenra::app
