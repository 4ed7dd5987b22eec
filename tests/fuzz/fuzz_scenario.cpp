// Any text as a scenario file: refused with "FILE:LINE: message", or read
// into a run whose times never go back and which ends with `end`, and whose
// hardware description the machine's own readers accept.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sim/hardware_facts.h"
#include "platform/sim/wmi_inventory.h"
#include "runner/scenario.h"
#include "runner/scenario_machine.h"

using namespace fenra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  runner::Scenario scenario;
  try {
    scenario = runner::ParseScenario(std::string(reinterpret_cast<const char*>(data), size), "fuzz.scn");
  } catch (const runner::ScenarioError& e) {
    if (std::string_view(e.what()).rfind("fuzz.scn:", 0) != 0) __builtin_trap();
    return 0;
  }
  if (scenario.steps.empty() || !std::holds_alternative<runner::EndRun>(scenario.steps.back().action))
    __builtin_trap();
  for (size_t i = 1; i < scenario.steps.size(); ++i)
    if (scenario.steps[i].at_ms < scenario.steps[i - 1].at_ms) __builtin_trap();

  nlohmann::json hardware = runner::BaselineHardware();
  for (const runner::HardwareEdit& edit : scenario.hardware) edit(hardware);
  sim::ParseHardwareFacts(hardware, "hardware.json");  // throws (and so fails) when refused
  sim::SimWmiInventory inventory;
  std::string error;
  if (!sim::ParseWmiSection(runner::WmiSection(scenario.modules), &inventory, &error)) __builtin_trap();
  return 0;
}
