// Any text as hardware.json: it is refused with a message, or each
// component's reader takes its section or refuses it with
// std::runtime_error; what is taken in keeps the stated limits.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/sim/hardware_description.h"
#include "platform/sim/hardware_facts.h"
#include "platform/sim/wmi_inventory.h"

using namespace fenra::sim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nlohmann::json document;
  std::string error;
  if (!ParseHardwareDescription(std::string_view(reinterpret_cast<const char*>(data), size), "hardware.json",
                                &document, &error)) {
    if (error.rfind("hardware.json:", 0) != 0) __builtin_trap();  // the name, then the place or a blank
    return 0;
  }
  if (document.contains("wmi")) {
    SimWmiInventory inventory;
    if (ParseWmiSection(document["wmi"], &inventory, &error)) {
      for (const SimWmiInstance& instance : inventory.instances)
        if (instance.classes.empty() || instance.key.empty()) __builtin_trap();
    }
  }
  try {
    HardwareFacts facts = ParseHardwareFacts(document, "hardware.json");
    for (const SdrAnswer& answer : facts.library.sdr_status)
      if (answer.calls == 0) __builtin_trap();
    if (facts.ipmi.answer.size() > 256) __builtin_trap();
  } catch (const std::runtime_error& e) {
    if (std::string_view(e.what()).rfind("hardware.json: ", 0) != 0) __builtin_trap();
  }
  return 0;
}
