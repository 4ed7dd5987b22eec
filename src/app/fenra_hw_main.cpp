// fenra-hw: changes the simulated hardware of a machine, as a person at the
// server would: pulls a module out, puts it back, or sets its state. It
// edits the machine's hardware.json; a service running on the machine sees
// the change within a second as the hardware's state-change events.
//
// Exit codes: 0 done; 1 the machine's hardware description cannot be read
// or written; 2 a bad command line, module or state.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/module_edit.h"
#include "platform/sim/hardware_description.h"
#include "platform/sim/sim_machine.h"

int main(int argc, char** argv) {
  CLI::App app{"Changes the simulated hardware of a FENRA machine: pulls a module, puts it back, or sets its\n"
               "state. A service running on the machine sees the change within a second.",
               "fenra-hw"};
  std::string machine;
  app.add_option("--machine", machine, "the machine directory (default: $FENRA_MACHINE, else ~/.fenra/machine)")
      ->type_name("DIR");
  app.set_version_flag("--version", std::string("fenra-hw ") + FENRA_VERSION);
  app.require_subcommand(1);
  app.fallthrough();
  std::string module, state;
  CLI::App* pull = app.add_subcommand("pull", "take MODULE out: it becomes REMOVED and its partner SIMPLEX");
  CLI::App* insert = app.add_subcommand("insert", "put MODULE back: it and its partner become DUPLEX");
  CLI::App* set = app.add_subcommand("state", "give MODULE a state (DUPLEX, SIMPLEX, REMOVED, BROKEN, ...)");
  app.add_subcommand("show", "list the modules and their states");
  for (CLI::App* command : {pull, insert, set})
    command->add_option("MODULE", module, "a module number: CPU 0, 1, 2; PCI 10, 11, 12, 13 (pairs: 0/1, 10/11, 12/13)")
        ->required();
  set->add_option("STATE", state, "a state name")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  std::filesystem::path directory =
      machine.empty() ? fenra::sim::SimMachine::DefaultDirectory() : std::filesystem::path(machine);
  std::filesystem::path file = directory / fenra::sim::kHardwareFile;
  if (!std::filesystem::exists(file)) {
    fprintf(stderr, "fenra-hw: %s: no such file; a machine is made by its first run (fenra --machine %s)\n",
            file.c_str(), directory.c_str());
    return 1;
  }
  nlohmann::json document;
  std::string error;
  if (!fenra::sim::ReadHardwareDescription(file, &document, &error)) {
    fprintf(stderr, "fenra-hw: %s\n", error.c_str());
    return 1;
  }
  try {
    if (app.got_subcommand("show")) {
      for (const std::string& line : fenra::app::ListModules(document)) printf("%s\n", line.c_str());
      return 0;
    }
    fenra::app::ModuleEdit edit = app.got_subcommand(pull)     ? fenra::app::ModuleEdit::kPull
                                  : app.got_subcommand(insert) ? fenra::app::ModuleEdit::kInsert
                                                               : fenra::app::ModuleEdit::kState;
    std::vector<std::string> changes = fenra::app::EditModule(document, edit, module, state);
    if (changes.empty()) {
      printf("fenra-hw: nothing to change\n");
      return 0;
    }
    if (!fenra::sim::WriteHardwareDescription(file, document, &error)) {
      fprintf(stderr, "fenra-hw: %s\n", error.c_str());
      return 1;
    }
    for (const std::string& line : changes) printf("%s\n", line.c_str());
    return 0;
  } catch (const std::invalid_argument& e) {
    fprintf(stderr, "fenra-hw: %s\n", e.what());
    return 2;
  }
}
