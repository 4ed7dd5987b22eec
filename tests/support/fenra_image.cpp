#include "support/fenra_image.h"

#include "service/entry.h"
#include "service/service_module.h"

namespace fenra::testing {

uint32_t FenraImage(Platform& platform) {
  CServiceModule module(platform);
  return static_cast<uint32_t>(ProcessEntry(module, platform));
}

int RunFenra(sim::SimMachine& machine, const std::string& arguments) {
  std::string command_line = machine.version_info().GetModuleFileName();
  if (!arguments.empty()) command_line += " " + arguments;
  auto process = machine.NewProcess({false, command_line});
  return static_cast<int>(FenraImage(process->platform()));
}

}  // namespace fenra::testing
