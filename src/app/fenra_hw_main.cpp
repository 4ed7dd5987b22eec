// fenra-hw: changes the simulated hardware of a machine, as a person at the
// server would: pulls a module out, puts it back, or sets its state. It
// edits the machine's hardware.json and appends each change to the
// machine's change journal; a service running on the machine gets every
// change as its own state-change event within milliseconds.

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/command_line.h"
#include "app/console.h"
#include "app/module_edit.h"
#include "platform/sim/hardware_description.h"
#include "platform/sim/hardware_journal.h"
#include "platform/sim/sim_machine.h"
#include "platform/sim/text.h"

namespace {

constexpr const char* kCommands[] = {"pull", "insert", "state", "show"};

// The first word that is neither an option nor the value of --machine: the
// command CLI11 would otherwise take for a stray argument.
std::string CommandWord(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--machine") {
      ++i;
      continue;
    }
    if (arg.starts_with("-")) continue;
    return std::string(arg);
  }
  return {};
}

int Fail(int code, const std::string& message) {
  fprintf(stderr, "fenra-hw: %s\n", fenra::sim::PrintableText(message).c_str());
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Changes the simulated hardware of a FENRA machine: pulls a module, puts it back, or sets its\n"
               "state. A service running on the machine gets each change as a state-change event at once.",
               "fenra-hw"};
  std::string machine;
  app.add_option("--machine", machine, "the machine directory (default: $FENRA_MACHINE, else ~/.fenra/machine)")
      ->type_name("DIR");
  app.set_version_flag("--version", std::string("fenra-hw ") + FENRA_VERSION);
  fenra::app::PlainHelp(app);
  fenra::app::NameParseErrors(app);
  app.require_subcommand(1);
  app.fallthrough();
  app.footer(
      "Exit status: 0 done (or nothing to change); 1 the machine's hardware.json cannot be read or\n"
      "written; 2 a bad command line, module or state.");
  std::string module, state;
  CLI::App* pull =
      app.add_subcommand("pull", "take MODULE out: it and the devices it holds become REMOVED, its partner SIMPLEX");
  CLI::App* insert =
      app.add_subcommand("insert", "put MODULE back: it and its partner become DUPLEX, its devices ONLINE");
  CLI::App* set = app.add_subcommand("state", "give MODULE a state (DUPLEX, SIMPLEX, REMOVED, BROKEN, ...)");
  app.add_subcommand("show", "list the modules and their states");
  for (CLI::App* command : {pull, insert, set})
    command
        ->add_option("MODULE", module,
                     "a module number of the machine (fenra-hw show lists them; a new machine has CPU 0 and 1, "
                     "PCI 10 to 13; pairs: 0/1, 10/11, 12/13)")
        ->required();
  set->add_option("STATE", state, "a state name")->required();

  if (std::string word = CommandWord(argc, argv);
      !word.empty() && std::find(std::begin(kCommands), std::end(kCommands), word) == std::end(kCommands)) {
    std::string_view near = fenra::app::NearestWord(word, {kCommands[0], kCommands[1], kCommands[2], kCommands[3]});
    return Fail(2, "unknown command \"" + word + "\"; " +
                       (near.empty() ? std::string("the commands are pull, insert, state and show (fenra-hw --help)")
                                     : "did you mean " + std::string(near) + "?"));
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // No command at all: the usage, on standard error as for any bad line.
    if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr && app.get_subcommands().empty()) {
      fprintf(stderr, "%s", app.help().c_str());
      return 2;
    }
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  std::filesystem::path directory =
      machine.empty() ? fenra::sim::SimMachine::DefaultDirectory() : std::filesystem::path(machine);
  std::error_code ec;
  if (std::filesystem::exists(directory, ec) && !std::filesystem::is_directory(directory, ec))
    return Fail(1, fenra::sim::FileErrorText(directory, ENOTDIR) +
                       "; a machine is a directory: make one with " + fenra::app::SiblingProgram("fenra") +
                       " --machine NEWDIR");
  std::filesystem::path file = directory / fenra::sim::kHardwareFile;
  if (!std::filesystem::exists(file, ec))
    return Fail(1, fenra::sim::FileErrorText(file, ENOENT) + "; a machine is made by its first run: " +
                       fenra::app::SiblingProgram("fenra") + " --machine " + fenra::app::ShellWord(directory.string()));
  try {
    if (app.got_subcommand("show")) {
      nlohmann::json document;
      std::string error;
      if (!fenra::sim::ReadHardwareDescription(file, &document, &error)) return Fail(1, error);
      for (const std::string& line : fenra::app::ListModules(document)) printf("%s\n", line.c_str());
      return 0;
    }
    fenra::app::ModuleEdit edit = app.got_subcommand(pull)     ? fenra::app::ModuleEdit::kPull
                                  : app.got_subcommand(insert) ? fenra::app::ModuleEdit::kInsert
                                                               : fenra::app::ModuleEdit::kState;
    std::vector<fenra::app::ModuleChange> changes;
    std::string error;
    // Read, edit and write under the journal's lock, so that a service
    // reading the journal sees the file and its changes together.
    bool written = fenra::sim::EditHardware(
        directory,
        [&](nlohmann::json& document) {
          changes = fenra::app::EditModule(document, edit, module, state);
          std::vector<fenra::sim::HardwareChange> journal;
          for (const auto& change : changes) journal.push_back({change.key, change.state});
          return journal;
        },
        &error);
    if (!written) return Fail(1, error);
    if (changes.empty()) printf("fenra-hw: nothing to change\n");
    for (const auto& change : changes) printf("%s\n", change.text.c_str());
    return 0;
  } catch (const std::invalid_argument& e) {
    return Fail(2, e.what());
  }
}
