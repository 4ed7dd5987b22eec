// The fenra executable on Linux: FENRA.exe on a simulated machine.
//
// Started from a shell it is a console start: the service control manager
// refuses the connection and the service runs in the foreground; Ctrl-C and
// SIGTERM act as the stop control. Windows command words (-Service,
// /RegServer, -UnregServer) go to FENRA.exe's own command line and register
// or unregister it. With --scm the installed service is started through the
// simulated service control manager, as `sc start FENRA` would, and the
// signals send it the stop control. On a new machine (no registry yet) FENRA
// is registered as a service first.

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/console_stop.h"
#include "platform/sim/sim_machine.h"
#include "service/entry.h"
#include "service/service_module.h"

namespace {

constexpr const char* kServiceName = "FENRA";

void Usage(FILE* out) {
  fprintf(out,
          "usage: fenra [--machine DIR] [--scm] [-Service | -RegServer | -UnregServer]\n"
          "  Runs FENRA.exe on a simulated Windows machine.\n"
          "  --machine DIR  the machine directory (default: $FENRA_MACHINE, else ~/.fenra/machine);\n"
          "                 a directory without a registry file is set up as a baseline machine,\n"
          "                 with FENRA registered on it as a service\n"
          "  --scm          start the installed service through the service control manager\n"
          "  Other arguments form FENRA.exe's command line: -Service registers it as a service,\n"
          "  -RegServer as a plain process, -UnregServer removes it (\"-\" or \"/\", any case).\n"
          "  Ctrl-C or SIGTERM stops the service; a second Ctrl-C ends the process at once.\n");
}

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
      : thread_([this, signals, deliver = std::move(deliver)] { Listen(signals, deliver); }) {}
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
int RunUnderManager(fenra::sim::SimMachine& machine, const sigset_t& signals) {
  fenra::ServiceControl& manager = machine.service_control();
  fenra::ScHandlePtr scm = manager.OpenSCManager(fenra::win::kScManagerConnect);
  fenra::ScHandlePtr service;
  if (scm) service = manager.OpenService(*scm, kServiceName, fenra::win::kServiceStart | fenra::win::kServiceStop);
  if (!service || !manager.StartService(*service, {})) {
    uint32_t error = machine.kernel().GetLastError();
    fprintf(stderr, "fenra: the service %s cannot be started (error %u)%s\n", kServiceName, error,
            error == fenra::win::kErrorServiceDoesNotExist ? "; register it with: fenra -Service" : "");
    fflush(nullptr);
    std::_Exit(1);
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

// A console start: the service in the foreground, as the machine's own
// process, whose module outlives the signal thread.
int RunInForeground(fenra::sim::SimMachine& machine, const sigset_t& signals) {
  fenra::CServiceModule module(machine.platform());
  SignalThread signal_thread(signals, [&] {
    // Until Run has created both stop events there is nothing to signal.
    fenra::MonitorState& monitor = module.monitor();
    if (!monitor.hServiceEvent || !monitor.hShutdownEvent) return false;
    module.Handler(fenra::win::kServiceControlStop);
    return true;
  });
  return fenra::ProcessEntry(module, machine.platform());
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

  std::filesystem::path directory = fenra::sim::SimMachine::DefaultDirectory();
  bool under_manager = false;
  std::vector<std::string> windows_arguments;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--machine" && i + 1 < argc) {
      directory = argv[++i];
    } else if (arg.starts_with("--machine=")) {
      directory = arg.substr(strlen("--machine="));
    } else if (arg == "--scm") {
      under_manager = true;
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (arg.starts_with("--")) {
      fprintf(stderr, "fenra: unknown option '%s'\n", arg.c_str());
      Usage(stderr);
      return 2;
    } else {
      windows_arguments.push_back(arg);
    }
  }

  try {
    // A machine without a registry yet is new.
    bool fresh = !std::filesystem::exists(directory / fenra::sim::SimMachine::kRegistryFile);
    fenra::sim::SimMachine machine(directory);
    machine.SetServiceImage(RunImage);
    fprintf(stderr, "fenra: machine %s\n", machine.directory().c_str());
    std::string executable = machine.version_info().GetModuleFileName();
    if (fresh) {
      int result = RunProcess(machine, executable + " -Service");
      fprintf(stderr, "fenra: registered %s as a service on the new machine (result %d)\n", kServiceName, result);
    }

    int code;
    if (!windows_arguments.empty()) {
      std::string command_line = executable;
      for (const std::string& arg : windows_arguments) command_line += " " + arg;
      code = RunProcess(machine, command_line);
    } else if (under_manager) {
      code = RunUnderManager(machine, signals);
    } else {
      code = RunInForeground(machine, signals);
    }
    if (code != 0)
      fprintf(stderr, "fenra: FENRA.exe ended with exit code %d (0x%08x)%s\n", code, static_cast<unsigned>(code),
              code == static_cast<int>(fenra::win::kErrorFileNotFound) && windows_arguments.empty()
                  ? ": it is not registered; register it with: fenra -Service"
                  : "");
    // Monitor threads that have not ended end with the process, as on
    // Windows; nothing is torn down under them.
    fflush(nullptr);
    std::_Exit(code);
  } catch (const std::exception& e) {
    fprintf(stderr, "fenra: %s\n", e.what());
    return 1;
  }
}
