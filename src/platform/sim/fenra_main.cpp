// The fenra executable on Linux: the service on a simulated machine.
//
// Started from a shell it is a console start, so the service control
// manager refuses the connection and the service runs in the foreground;
// Ctrl-C and SIGTERM act as the stop control. With --scm it behaves as if
// the service control manager had started it, and the signals send the stop
// control through the simulated manager instead.

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "platform/sim/sim_machine.h"
#include "service/entry.h"
#include "service/service_module.h"

namespace {

void Usage(FILE* out) {
  fprintf(out,
          "usage: fenra [--machine DIR] [--scm]\n"
          "  Runs the FENRA service on a simulated Windows machine.\n"
          "  --machine DIR  the machine directory (default: $FENRA_MACHINE, else ~/.fenra/machine);\n"
          "                 a directory without a registry file is set up as a baseline machine\n"
          "  --scm          run as if started by the service control manager\n"
          "  Ctrl-C or SIGTERM stops the service.\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path directory = fenra::sim::SimMachine::DefaultDirectory();
  fenra::sim::MachineOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--machine" && i + 1 < argc) {
      directory = argv[++i];
    } else if (arg == "--scm") {
      options.started_by_scm = true;
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else {
      fprintf(stderr, "fenra: unknown argument '%s'\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }

  // Every thread inherits the blocked signals; one thread takes them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
    fenra::sim::SimMachine machine(directory, options);
    fenra::CServiceModule module(machine.platform());
    fprintf(stderr, "fenra: machine %s\n", machine.directory().c_str());

    std::thread signal_thread([&] {
      int signal = 0;
      sigwait(&signals, &signal);
      if (signal == SIGUSR1) return;  // the service ended by itself
      if (options.started_by_scm)
        machine.service_control().SendControl(fenra::win::kServiceControlStop);
      else
        module.Handler(fenra::win::kServiceControlStop);
    });

    int code = fenra::ProcessEntry(module, machine.platform());
    pthread_kill(signal_thread.native_handle(), SIGUSR1);
    signal_thread.join();
    // Monitor threads that have not ended end with the process, as on
    // Windows; nothing is torn down under them.
    fflush(nullptr);
    std::_Exit(code);
  } catch (const std::exception& e) {
    fprintf(stderr, "fenra: %s\n", e.what());
    return 1;
  }
}
