// fenra-sim: runs the FENRA service on a simulated machine on virtual time,
// from a scenario file, and prints what the service did.
//
// Exit codes: 0 the scenario ran; 1 the machine could not be made or read,
// or the service did not stop at the end; 2 a bad command line or a bad
// scenario ("fenra-sim: FILE:LINE: message" on standard error).

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "platform/sim/sim_machine.h"
#include "platform/sim/text.h"
#include "explorer/explore.h"
#include "runner/output.h"
#include "runner/scenario.h"
#include "runner/scenario_run.h"
#include "runner/timeline.h"

namespace {

// The scenario directives for --help, from the reader's own table.
std::string DirectiveList() {
  using fenra::runner::DirectiveKind;
  std::string setup = "Setup directives, before the first timed one:\n";
  std::string timed = "\nTimed directives, each after its time H:MM:SS[.mmm]; the last is end:\n";
  for (const fenra::runner::DirectiveSyntax& directive : fenra::runner::ScenarioDirectives()) {
    std::string line = "  " + std::string(directive.usage) + "\n";
    if (directive.kind != DirectiveKind::kTimed) setup += line;
    if (directive.kind == DirectiveKind::kTimed || directive.kind == DirectiveKind::kSetupOrTimed) timed += line;
  }
  return setup + timed;
}

// The picture's file, opened before the run so that a file that cannot be
// written is a bad command line said at once, not after the whole run; a
// run that ends without its picture leaves no empty file behind.
class TimelineFile {
 public:
  ~TimelineFile() {
    if (!out_.is_open() || kept_) return;
    out_.close();
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  // 0, or the errno of the open.
  int Open(const std::string& path) {
    path_ = path;
    errno = 0;
    out_.open(path, std::ios::binary | std::ios::trunc);
    return out_.is_open() ? 0 : errno != 0 ? errno : EIO;
  }
  // 0, or the errno of the write.
  int Write(const std::string& svg) {
    errno = 0;
    out_ << svg;
    if (!out_.flush()) return errno != 0 ? errno : EIO;
    kept_ = true;
    return 0;
  }

 private:
  std::string path_;
  std::ofstream out_;
  bool kept_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "explore") return fenra::explorer::ExploreMain(argc - 1, argv + 1);
  CLI::App app{
      "Runs the FENRA service on a simulated machine on virtual time, from a scenario file,\n"
      "and prints what it did: event-log records, pulses of the hot-plug event and,\n"
      "with --trace, trace lines. The directives are in docs/scenarios.md.\n"
      "\n"
      "  fenra-sim explore [OPTIONS]   makes up seeded random scenarios, runs each and checks\n"
      "                                what the service did against the alert rules\n"
      "                                (fenra-sim explore --help)\n",
      "fenra-sim"};
  fenra::app::PlainHelp(app);
  bool json = false;
  bool trace = false;
  std::string machine;
  std::string timeline;
  std::string scenario_file;
  app.add_flag("--json", json, "one JSON object per line instead of the readable text");
  app.add_flag("--trace", trace, "also show every trace line the service writes");
  app.add_option("--machine", machine,
                 "run on the machine in DIR, created there as the scenario baseline when missing, and keep it "
                 "(default: a temporary machine, removed afterwards)")
      ->type_name("DIR");
  app.add_option("--timeline", timeline,
                 "also draw the run into FILE, an SVG picture for a browser: module states, each pair as the "
                 "monitor sees it, the timers with their limits, the pulses and the alerts")
      ->type_name("FILE");
  app.add_option("SCENARIO", scenario_file, "the scenario file")->required()->type_name("SCENARIO");
  app.set_version_flag("--version", std::string("fenra-sim ") + FENRA_VERSION);
  fenra::app::NameParseErrors(app);
  app.footer(DirectiveList() +
             "\n"
             "Exit status: 0 the scenario ran; 1 the machine could not be made or read, or the service did\n"
      "not stop at the end; 2 a bad command line or scenario (\"fenra-sim: FILE:LINE: message\").");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  // A misspelt command is no file: say so, rather than that the file is
  // missing.
  if (std::error_code ec; !std::filesystem::exists(scenario_file, ec))
    if (std::string_view near = fenra::app::NearestWord(scenario_file, {"explore"}); !near.empty()) {
      fprintf(stderr, "fenra-sim: \"%s\" is neither a scenario file nor a command; did you mean %s?\n",
              fenra::sim::PrintableText(scenario_file).c_str(), std::string(near).c_str());
      return 2;
    }

  TimelineFile timeline_file;
  try {
    fenra::runner::Scenario scenario = fenra::runner::LoadScenario(scenario_file);
    if (int error = timeline.empty() ? 0 : timeline_file.Open(timeline)) {
      fprintf(stderr, "fenra-sim: --timeline %s\n", fenra::sim::FileErrorText(timeline, error).c_str());
      return 2;
    }
    fenra::runner::OutputOptions output{
        .trace = trace,
        .clock = scenario.clock,
        .language = scenario.japanese ? fenra::sim::UiLanguage::kJapanese : fenra::sim::UiLanguage::kEnglish};
    // Printed as they happen and not kept, except for the timeline, which
    // draws from the whole run's observations.
    fenra::runner::ObservationSink print = fenra::runner::Printer(stdout, json, output);
    std::vector<fenra::runner::Observation> drawn;
    fenra::runner::RunResult result = fenra::runner::RunScenario(
        scenario, {.machine = machine, .observe = [&](const fenra::runner::Observation& o) {
                     print(o);
                     if (!timeline.empty()) drawn.push_back(o);
                   }});
    fflush(stdout);
    if (int error = timeline.empty() ? 0 : timeline_file.Write(fenra::runner::RenderTimeline(scenario, drawn))) {
      fprintf(stderr, "fenra-sim: --timeline %s\n", fenra::sim::FileErrorText(timeline, error).c_str());
      return 1;
    }
    if (!result.failure.empty()) {
      fprintf(stderr, "fenra-sim: %s\n", result.failure.c_str());
      return 1;
    }
    return 0;
  } catch (const fenra::runner::ScenarioError& e) {
    fprintf(stderr, "fenra-sim: %s\n", e.what());
    return 2;
  } catch (const fenra::sim::MachineNotMade& e) {
    fprintf(stderr, "fenra-sim: %s; --machine names a directory you may write (made when missing)\n",
            fenra::sim::PrintableText(e.what()).c_str());
    return 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "fenra-sim: %s\n", fenra::sim::PrintableText(e.what()).c_str());
    return 1;
  }
}
