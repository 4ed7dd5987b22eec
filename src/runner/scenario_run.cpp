#include "runner/scenario_run.h"

#include <cstdlib>
#include <memory>
#include <optional>

#include "platform/sim/hardware_facts.h"
#include "platform/sim/sim_machine.h"
#include "platform/sim/text.h"
#include "runner/platform_tap.h"
#include "runner/scenario_machine.h"
#include "runner/service_host.h"

namespace fenra::runner {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kHotPlugEventName = "QVM_TUNE_IPMI_HOT_PLUG";

// A temporary machine directory, removed with everything in it.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "fenra-sim-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary directory");
    path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class Run {
 public:
  Run(const Scenario& scenario, const fs::path& directory, ObservationSink observe)
      : scenario_(scenario),
        recorder_(std::move(observe)),
        machine_(directory, Options(scenario)),
        attachment_(machine_.kernel().Attach("fenra-sim")) {}

  RunResult Go() {
    sim::SimKernel& kernel = machine_.kernel();
    ApplySetup(scenario_, machine_);
    for (const ScriptWmiFault& fault : scenario_.wmi_faults)
      machine_.wmi().ScriptFault(fault.fault, fault.times, fault.hr);
    for (const MachineFault& fault : scenario_.machine_faults) Apply(fault);
    kernel.SetPulseObserver([this](const std::string& name, uint64_t at_ms) {
      if (!name.ends_with(kHotPlugEventName)) return;
      Observation pulse;
      pulse.t_ms = at_ms;
      pulse.kind = Observation::Kind::kPulse;
      recorder_.Add(std::move(pulse));
    });

    Handle done = kernel.CreateEvent(true, false);
    for (const TimedStep& step : scenario_.steps)
      kernel.At(
          step.at_ms, [this, &step, done] { Input(step, done); }, "scenario line " + std::to_string(step.line));
    kernel.WaitForSingleObject(done, win::kInfinite);
    kernel.SetPulseObserver(nullptr);
    return {recorder_.Take(), failure_, kernel.WakeUps()};
  }

 private:
  static sim::MachineOptions Options(const Scenario& scenario) {
    sim::MachineOptions options;
    options.kernel.virtual_time = true;
    options.kernel.start_local_time = scenario.clock;
    options.kernel.start_tick = scenario.start_tick;
    return options;
  }

  void Input(const TimedStep& step, const Handle& done) {
    Observation input;
    input.t_ms = machine_.kernel().ElapsedMs();
    input.kind = Observation::Kind::kInput;
    input.line = step.line;
    input.directive = step.text;
    recorder_.Add(std::move(input));
    std::visit([this, &done](const auto& action) { Do(action, done); }, step.action);
  }

  void Do(const StartService&, const Handle&) { host_.Start(); }
  void Do(const StopService&, const Handle&) { host_.Stop(); }
  void Do(const ChangeState& change, const Handle&) { machine_.wmi().SetState(change.key, change.state); }
  void Do(const ScriptWmiFault& fault, const Handle&) {
    machine_.wmi().ScriptFault(fault.fault, fault.times, fault.hr);
  }
  void Do(const MachineFault& fault, const Handle&) { Apply(fault); }
  void Do(const PublishSerial& serial, const Handle&) {
    sim::DriverFacts driver;
    driver.serial_numbers[serial.module] = serial.bytes;
    sim::SimRegistry& registry = machine_.registry();
    registry.Batch([&] { PublishSerialNumbers(registry, driver); });
  }
  void Do(const DeliverEventText& event, const Handle&) {
    machine_.wmi().InjectEventText(event.target, sim::Utf8ToWide(event.text));
  }
  void Do(const EndRun&, const Handle& done) {
    sim::SimKernel& kernel = machine_.kernel();
    if (host_.Running()) {
      host_.Stop();
      if (kernel.WaitForSingleObject(host_.process(), static_cast<uint32_t>(kEndStopLimitMs)) != win::kWaitObject0) {
        failure_ = "the service did not stop within " + std::to_string(kEndStopLimitMs / 60000) +
                   " minutes of \"end\"; its process was ended";
        kernel.TerminateProcess(host_.process(), 1);
      }
    }
    kernel.SetEvent(done);
  }

  // A missing folder is removed with what it holds; a writable one is
  // created when it is missing.
  void Apply(const MachineFault& fault) {
    faults_.Set(fault);
    const auto* folder = std::get_if<FolderChange>(&fault);
    if (folder == nullptr) return;
    fs::path host = machine_.HostPath(folder->path);
    std::error_code error;
    if (folder->state == FolderState::kMissing)
      fs::remove_all(host, error);
    else if (folder->state == FolderState::kWritable)
      fs::create_directories(host, error);
  }

  Platform& PlatformOf(sim::SimProcess& process) {
    return process.Make<PlatformTap>(process.platform(), machine_.kernel(), recorder_, faults_).platform();
  }

  const Scenario& scenario_;
  Recorder recorder_;
  PortFaults faults_;
  sim::SimMachine machine_;
  sim::SimKernel::Attachment attachment_;
  ServiceHost host_{machine_, [this](sim::SimProcess& process) -> Platform& { return PlatformOf(process); }};
  std::string failure_;
};

}  // namespace

RunResult RunScenario(const Scenario& scenario, const RunOptions& options) {
  std::optional<TemporaryDirectory> temporary;
  fs::path directory = options.machine;
  if (directory.empty()) {
    temporary.emplace();
    directory = temporary->path() / "machine";
  }
  PrepareMachineDirectory(scenario, directory);
  // The machine parks every thread before the directory goes.
  return Run(scenario, directory, options.observe).Go();
}

}  // namespace fenra::runner
