#pragma once
// What the simulated WMI provider knows of the hardware: its module and
// device instances, read from the "wmi" section of the hardware
// description:
//
//   "wmi": {
//     "modules": [                       // CPU modules 0-2, PCI modules 10-13
//       {"name": "0", "type": "cpu", "state": "DUPLEX"},
//       {"name": "10", "type": "pci", "state": "SIMPLEX"}
//     ],
//     "devices": [                       // the devices behind the modules
//       {"class": "DOD_SCSISlot", "name": "10/1", "module": "10", "state": "ONLINE"}
//     ]
//   }
//
// "name" is the InstanceName (null: the property is null). "state" is a
// state name without its blank ("DUPLEX", "REMOVED"...) or a number; null or
// absent leaves the instance without an OperationalState. A module is an
// instance of the module class of every platform generation (type "cpu":
// DOD_CPUBoard and VUR_CPUBoard; "pci": DOD_IOAdapter and VUR_IOBoard); a
// device is an instance of its one "class", any class of the device-class
// table other than the module classes. "path" sets the DevicePathId, which
// by default is "{module,...}" with the parent module's name first.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace fenra::sim {

struct SimWmiInstance {
  std::string key;                   // ObjectKey: unique, "cpu/0", "DOD_SCSISlot/10/1"
  std::vector<std::string> classes;  // the WMI classes it is an instance of
  std::optional<std::string> name;   // InstanceName; none = null
  std::optional<int32_t> state;      // OperationalState.State; none = no OperationalState
  std::string device_path;           // DevicePathId
};

struct SimWmiInventory {
  std::vector<SimWmiInstance> instances;
};

// False with a message naming the entry when the section is malformed.
bool ParseWmiSection(const nlohmann::json& section, SimWmiInventory* inventory, std::string* error);

// Reads the "wmi" section of the hardware description file from its text
// (an absent section is an empty inventory); `name` names the file in
// messages.
bool ParseWmiInventory(std::string_view text, const std::string& name, SimWmiInventory* inventory,
                       std::string* error);

// The section of a new machine: CPU modules 0 and 1 and PCI modules 10 to 13
// DUPLEX, and a few ONLINE devices of every device class of the three
// generations behind PCI modules 10 and 11.
nlohmann::json BaselineWmiSection();

// The ObjectKey of the entry at `index` of "modules" (`module`) or
// "devices": "cpu/0", "DOD_SCSISlot/10/1"; an entry without a name is
// "#index" after the slash.
std::string InstanceKey(const nlohmann::json& entry, bool module, size_t index);

// The canonical spelling of a class the provider has instances of (class
// names are case-insensitive), or empty.
std::string_view KnownClass(std::string_view name);

}  // namespace fenra::sim
