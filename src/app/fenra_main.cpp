// The fenra executable on Linux: FENRA.exe on a simulated machine.
//
// Started from a shell it is a console start: the service control manager
// refuses the connection and the service runs in the foreground; Ctrl-C and
// SIGTERM act as the stop control. Every event-log record the machine's
// processes write is echoed on standard output as the event viewer shows
// it. Windows command words (-Service, /RegServer, -UnregServer) go to
// FENRA.exe's own command line and register or unregister it. With --scm
// the installed service is started through the simulated service control
// manager, as `sc start FENRA` would, and the signals send it the stop
// control. A new machine (no registry yet) is set up for a first look:
// FENRA registered as a service, no start-up delay, one-minute thresholds.

#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/console.h"
#include "app/first_look.h"
#include "platform/sim/console_stop.h"
#include "platform/sim/sim_machine.h"
#include "platform/sim/text.h"
#include "service/entry.h"
#include "service/service_module.h"

namespace {

constexpr const char* kServiceName = "FENRA";

uint32_t RunImage(fenra::sim::SimProcess& process) {
  fenra::CServiceModule& module = process.Make<fenra::CServiceModule>(process.platform());
  return static_cast<uint32_t>(fenra::ProcessEntry(module, process.platform()));
}

// Runs FENRA.exe to its end as a process of the machine; its exit code.
int RunProcess(fenra::sim::SimMachine& machine, const std::string& command_line) {
  fenra::sim::ProcessOptions options;
  options.command_line = command_line;
  fenra::Handle process = machine.StartProcess(options, RunImage);
  uint32_t exit_code = 1;
  machine.kernel().WaitForSingleObject(process, fenra::win::kInfinite);
  machine.kernel().GetExitCodeProcess(process, &exit_code);
  return static_cast<int>(exit_code);
}

// Takes the blocked signals on a thread of its own until the process ends
// (SIGUSR1): the first asks for the stop through `deliver`, held until it
// is taken; a second Ctrl-C ends the process at once.
class SignalThread {
 public:
  SignalThread(const sigset_t& signals, std::function<bool()> deliver)
      : thread_([signals, deliver = std::move(deliver)] { Listen(signals, deliver); }) {}
  ~SignalThread() {
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
  }

 private:
  static void Listen(const sigset_t& signals, const std::function<bool()>& deliver) {
    fenra::sim::ConsoleStop stop(deliver);
    for (;;) {
      int signal = 0;
      if (stop.Held()) {
        const timespec retry{0, 50'000'000};
        signal = sigtimedwait(&signals, nullptr, &retry);
        if (signal < 0) {
          stop.Retry();
          continue;
        }
      } else if (sigwait(&signals, &signal) != 0) {
        continue;
      }
      if (signal == SIGUSR1) return;  // the process is ending
      if (stop.OnSignal(signal)) {
        fprintf(stderr, "fenra: interrupted\n");
        fflush(nullptr);
        std::_Exit(fenra::sim::ConsoleStop::kInterruptedExitCode);
      }
      fprintf(stderr, "fenra: stopping (about 5 seconds; Ctrl-C again ends at once)\n");
    }
  }

  std::thread thread_;
};

// --scm: starts the installed service and waits for its process to end.
// A service that is not installed is an unregistered FENRA.exe: exit 2,
// with the command that registers it.
int RunUnderManager(fenra::sim::SimMachine& machine, const sigset_t& signals, const std::string& register_hint) {
  fenra::ServiceControl& manager = machine.service_control();
  fenra::ScHandlePtr scm = manager.OpenSCManager(fenra::win::kScManagerConnect);
  fenra::ScHandlePtr service;
  if (scm) service = manager.OpenService(*scm, kServiceName, fenra::win::kServiceStart | fenra::win::kServiceStop);
  if (!service || !manager.StartService(*service, {})) {
    uint32_t error = machine.kernel().GetLastError();
    std::string text = machine.event_log().FormatSystemMessage(error).value_or("");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::string reason = "error " + std::to_string(error) + (text.empty() ? "" : ": " + text);
    bool unregistered = error == fenra::win::kErrorServiceDoesNotExist;
    if (unregistered)
      fprintf(stderr, "fenra: the service %s is not installed on this machine (%s); register it with: %s\n",
              kServiceName, reason.c_str(), register_hint.c_str());
    else
      fprintf(stderr, "fenra: the service %s cannot be started (%s)\n", kServiceName, reason.c_str());
    fflush(nullptr);
    std::_Exit(unregistered ? 2 : 1);
  }
  fenra::Handle process = machine.LastServiceProcess();
  SignalThread signal_thread(signals, [&] {
    fenra::ServiceStatus status;
    return manager.ControlService(*service, fenra::win::kServiceControlStop, &status);
  });
  machine.kernel().WaitForSingleObject(process, fenra::win::kInfinite);
  uint32_t exit_code = 0;
  machine.kernel().GetExitCodeProcess(process, &exit_code);
  return static_cast<int>(exit_code);
}

// A console start of FENRA.exe with `command_line` (empty: the executable
// alone), run on this thread as a process of the machine whose module
// outlives the signal thread: a command word registers and ends, anything
// else runs the service in the foreground until a signal stops it.
int RunInForeground(fenra::sim::SimMachine& machine, const sigset_t& signals, const std::string& command_line) {
  fenra::sim::ProcessOptions options;
  options.command_line = command_line;
  fenra::sim::SimProcess process(machine, options);
  fenra::CServiceModule module(process.platform());
  SignalThread signal_thread(signals, [&] {
    // Until Run has created both stop events there is nothing to signal.
    fenra::MonitorState& monitor = module.monitor();
    if (!monitor.hServiceEvent || !monitor.hShutdownEvent) return false;
    module.Handler(fenra::win::kServiceControlStop);
    return true;
  });
  return fenra::ProcessEntry(module, process.platform());
}

// FENRA.exe's command words, as its own command line takes them.
constexpr std::string_view kCommandWords[] = {"Service", "RegServer", "UnregServer"};

bool IsCommandWord(std::string_view arg) {
  if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/')) return false;
  for (std::string_view word : kCommandWords)
    if (fenra::sim::EqualsIgnoreCase(arg.substr(1), word)) return true;
  return false;
}

// What is wrong with the arguments left after fenra's own options, or
// empty. On Windows FENRA.exe acts on a command word that ends its command
// line and runs the service whatever else the line holds; from a shell a
// misspelt word would start the service instead of registering it, so
// fenra takes one command word alone, or nothing.
std::string ArgumentProblem(const std::vector<std::string>& arguments) {
  using fenra::app::NearestWord;
  using fenra::sim::PrintableText;
  for (const std::string& arg : arguments) {
    if (!arg.starts_with("--")) continue;
    std::string near(NearestWord(arg, {"--machine", "--scm", "--production-defaults", "--help", "--version"}));
    if (IsCommandWord(std::string_view(arg).substr(1))) near = arg.substr(1);
    return "unknown option '" + PrintableText(arg) + "'; " +
           (near.empty() ? std::string("fenra --help lists them") : "did you mean " + near + "?");
  }
  if (arguments.empty()) return {};
  const std::string& first = arguments[0];
  if (!IsCommandWord(first)) {
    bool marked = first.starts_with("-") || first.starts_with("/");
    std::string_view near = NearestWord(marked ? std::string_view(first).substr(1) : std::string_view(first),
                                        {kCommandWords[0], kCommandWords[1], kCommandWords[2]});
    return "unknown command word \"" + PrintableText(first) + "\"; " +
           (near.empty() ? std::string("the command words are -Service, -RegServer and -UnregServer (\"/\" for \"-\" "
                                       "and any case will do), or none to run the service")
                         : "did you mean " + std::string(marked ? first.substr(0, 1) : "-") + std::string(near) + "?");
  }
  if (arguments.size() > 1)
    return "\"" + PrintableText(arguments[1]) + "\" after the command word " + PrintableText(first) +
           ": a command word stands alone";
  return {};
}

// What to do when the machine directory cannot be made or read: the line
// that follows the reason.
std::string MachineHint(const std::string& machine_option) {
  return std::string("fenra: ") +
         (machine_option.empty() ? "the machine is $FENRA_MACHINE, else ~/.fenra/machine; give one you may write with "
                                   "--machine DIR, or set FENRA_MACHINE=DIR\n"
                                 : "give a machine directory you may write with --machine DIR\n");
}

// The command that registers FENRA as a service on this machine.
std::string RegisterHint(const std::string& machine_option) {
  return fenra::app::SiblingProgram("fenra") +
         (machine_option.empty() ? "" : " --machine " + fenra::app::ShellWord(machine_option)) + " -Service";
}

}  // namespace

int main(int argc, char** argv) {
  // Blocked before anything else: a signal that arrives during set-up
  // waits for the signal thread instead of killing the process.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  CLI::App app{"Runs FENRA.exe on a simulated Windows machine and shows each event-log record as it is\n"
               "written. Ctrl-C or SIGTERM stops the service; a second Ctrl-C ends the process at once.",
               "fenra"};
  std::string machine_option;
  bool under_manager = false;
  bool production_defaults = false;
  app.add_option("--machine", machine_option,
                 "the machine directory (default: $FENRA_MACHINE, else ~/.fenra/machine); a directory without a "
                 "registry file is set up as a new machine, for a first look")
      ->type_name("DIR");
  app.add_flag("--scm", under_manager, "start the installed service through the service control manager");
  app.add_flag("--production-defaults", production_defaults,
               "put the production defaults back on the machine (a 20-minute start-up delay, the thresholds of "
               "the platform generation) and end");
  app.set_version_flag("--version", std::string("fenra ") + FENRA_VERSION);
  fenra::app::PlainHelp(app);
  fenra::app::NameParseErrors(app);
  app.footer(
      "One more argument may be one of FENRA.exe's command words, alone: -Service registers it as a\n"
      "service, -RegServer as a plain process, -UnregServer removes it (\"-\" or \"/\", any case).\n"
      "Any other word is refused.\n\n"
      "Exit status: 0 the service ran and stopped, or the command was done; 1 the machine cannot be\n"
      "read or made, its event log or registry cannot be written, or records of the run were lost;\n"
      "2 a bad command line, or FENRA.exe is not registered; 130 a second Ctrl-C; any other: FENRA.exe's\n"
      "own exit code.");
  app.allow_extras();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  std::vector<std::string> windows_arguments = app.remaining();
  if (std::string problem = ArgumentProblem(windows_arguments); !problem.empty()) {
    fprintf(stderr, "fenra: %s\n", problem.c_str());
    return 2;
  }
  std::filesystem::path directory =
      machine_option.empty() ? fenra::sim::SimMachine::DefaultDirectory() : std::filesystem::path(machine_option);

  try {
    // A machine without a registry yet is new.
    bool fresh = !std::filesystem::exists(directory / fenra::sim::SimMachine::kRegistryFile);
    fenra::sim::SimMachine machine(directory);
    machine.SetServiceImage(RunImage);
    machine.event_log().SetRecordObserver([language = machine.language()](const fenra::sim::EventLogRecord& record,
                                                                         bool stored) {
      std::string text = fenra::app::ConsoleRecord(record, language, stored);
      fwrite(text.data(), 1, text.size(), stdout);
      fflush(stdout);
    });
    std::string executable = machine.version_info().GetModuleFileName();
    // A run whose records cannot be stored would look like success.
    if (std::string why = machine.CheckWritable(); !why.empty()) {
      fprintf(stderr,
              "fenra: %s\n"
              "fenra: the machine's event log and registry must be writable; run as a user who may write %s, or "
              "use another machine directory (--machine DIR)\n",
              why.c_str(), fenra::sim::PrintableText(machine.directory().string()).c_str());
      return 1;
    }
    if (fresh) {
      int result = RunProcess(machine, executable + " -Service");
      fenra::app::SetUpFirstLook(machine);
      fprintf(stderr, "fenra: new machine %s, set up for a first look: %s registered as a service (result %d)\n",
              fenra::sim::PrintableText(machine.directory().string()).c_str(), kServiceName, result);
    }
    if (production_defaults) {
      fenra::app::PutProductionDefaults(machine);
      fprintf(stderr, "fenra: machine %s: production defaults from the next start (%s)\n",
              fenra::sim::PrintableText(machine.directory().string()).c_str(),
              fenra::app::AlertSettings(machine).c_str());
      return 0;
    }
    if (windows_arguments.empty()) {
      std::filesystem::path folder = fenra::app::TraceFolder(machine);
      std::string trace = folder.empty() ? std::string("none (the registry's TempDir is not set)")
                                         : folder.string() + " (fenratrace1.log, fenratrace2.log)";
      std::string hw = fenra::app::SiblingProgram("fenra-hw") +
                       (machine_option.empty() ? "" : " --machine " + fenra::app::ShellWord(machine_option));
      fprintf(stderr,
              "fenra: machine %s (%s)\n"
              "fenra: trace in %s\n"
              "fenra: to pull CPU module 1 and put it back, in another shell: %s pull 1, then: %s insert 1\n",
              fenra::sim::PrintableText(machine.directory().string()).c_str(),
              fenra::app::AlertSettings(machine).c_str(), fenra::sim::PrintableText(trace).c_str(), hw.c_str(),
              hw.c_str());
    }

    // A command word registers and ends; without one the service runs until
    // a signal stops it.
    std::string command_line;
    if (!windows_arguments.empty()) command_line = executable;
    for (const std::string& arg : windows_arguments) command_line += " " + arg;
    std::string register_hint = RegisterHint(machine_option);
    int code = under_manager && windows_arguments.empty() ? RunUnderManager(machine, signals, register_hint)
                                                           : RunInForeground(machine, signals, command_line);
    if (code != 0)
      fprintf(stderr, "fenra: FENRA.exe ended with exit code %d (0x%08x)%s\n", code, static_cast<unsigned>(code),
              code == static_cast<int>(fenra::win::kErrorFileNotFound) && windows_arguments.empty()
                  ? (": it is not registered; register it with: " + register_hint).c_str()
                  : "");
    else if (const char* done = fenra::app::InstallationDone(machine.platform().system, command_line))
      fprintf(stderr, "fenra: %s\n", done);
    if (uint64_t lost = machine.write_failures(); lost > 0) {
      fprintf(stderr,
              "fenra: %llu write%s of this run to the machine's event log or registry failed; the records "
              "marked \"not stored\" above are not in %s\n",
              static_cast<unsigned long long>(lost), lost == 1 ? "" : "s",
              fenra::sim::PrintableText((machine.directory() / fenra::sim::SimMachine::kEventLogFile).string()).c_str());
      if (code == 0) code = 1;
    }
    // Monitor threads that have not ended end with the process, as on
    // Windows; nothing is torn down under them.
    fflush(nullptr);
    std::_Exit(code);
  } catch (const fenra::sim::MachineNotMade& e) {
    fprintf(stderr, "fenra: %s\n%s", fenra::sim::PrintableText(e.what()).c_str(), MachineHint(machine_option).c_str());
    return 1;
  } catch (const std::filesystem::filesystem_error& e) {
    fprintf(stderr, "fenra: %s\n%s", fenra::sim::FileErrorText(e.path1(), e.code().value()).c_str(),
            MachineHint(machine_option).c_str());
    return 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "fenra: %s\n", fenra::sim::PrintableText(e.what()).c_str());
    return 1;
  }
}
