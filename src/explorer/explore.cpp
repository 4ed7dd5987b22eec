#include "explorer/explore.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "app/command_line.h"
#include "explorer/shrink.h"
#include "runner/output.h"
#include "runner/scenario.h"
#include "runner/scenario_run.h"
#include "runner/timeline.h"
#include "runner/timeline_check.h"
#ifdef FENRA_EXPLORER_MODEL
#include "explorer/model.h"
#endif

namespace fenra::explorer {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Every this many runs, a run is made twice and its outputs compared.
constexpr uint64_t kDeterminismEvery = 25;
// A worker process ends after this many runs and a fresh one takes over:
// the threads a run's service leaves behind at its end are parked, not
// unwound, so what they hold stays allocated (as in a process that ends)
// and a worker grows by some 170 KiB a run.
constexpr uint64_t kRunsPerWorker = 150;
// Shrinking: the most candidates per failure, the most wall time, and how
// many failures are shrunk.
constexpr int kShrinkBudget = 250;
constexpr auto kShrinkTime = std::chrono::seconds(240);
constexpr size_t kShrinkFailures = 6;

std::string Rendered(const runner::Scenario& scenario, const runner::RunResult& result) {
  return runner::RenderJson(result.observations, {.trace = true, .clock = scenario.clock});
}

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\t') c = ' ';
  return text;
}

// What the model made of the runs: predicted runs (every pair the run has)
// and pairs, and the transition table's rows reached (hits, runs).
struct ModelTally {
  uint64_t runs = 0, predicted_runs = 0, pairs[3] = {}, predicted_pairs[3] = {};
  std::array<uint64_t, 6> row_hits{}, row_runs{};
  void Add(const ModelReach& reach) {
    ++runs;
    bool all = true;
    for (int pair = 0; pair < 3; ++pair) {
      pairs[pair] += reach.present[pair];
      predicted_pairs[pair] += reach.predicted[pair];
      all &= reach.predicted[pair] || !reach.present[pair];
    }
    predicted_runs += all;
    for (size_t row = 0; row < row_hits.size(); ++row) {
      row_hits[row] += reach.table_rows[row];
      row_runs[row] += reach.table_rows[row] > 0;
    }
  }
};

// A run as the parent knows it.
struct Outcome {
  uint64_t run = 0;
  std::vector<Violation> violations;
};

struct Options {
  uint64_t seed = 1;
  uint64_t first = 0;
  uint64_t runs = 100;
  std::optional<uint64_t> only;
  std::string duration;  // H:MM:SS
  std::string out = "explore-out";
  unsigned jobs = 1;
  bool shrink = true;
  bool long_runs = true;
};

// ---- Workers: child processes that run a stride of the runs ----

struct Worker {
  pid_t pid = -1;
  int fd = -1;
  std::string buffer;
  std::optional<uint64_t> current;  // begun and not yet ended
  uint64_t next = 0;                // the next run of its stride
};

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) _exit(4);
    done += static_cast<size_t>(n);
  }
}

[[noreturn]] void WorkerLoop(int fd, const Options& options, uint64_t first, uint64_t stride, uint64_t end,
                             Clock::time_point deadline) {
  uint64_t made = 0;
  for (uint64_t k = first; k < end && made < kRunsPerWorker; k += stride, ++made) {
    if (Clock::now() >= deadline) break;
    WriteAll(fd, "B " + std::to_string(k) + "\n");
    GeneratedRun generated = Generate(options.seed, k, options.long_runs);
    ModelReach reach;
    std::vector<Violation> violations =
        CheckScenarioText(generated.text, "run-" + std::to_string(k) + ".scn", k % kDeterminismEvery == 0, &reach);
    std::string report;
    for (const Violation& v : violations)
      report += "V " + std::to_string(k) + " " + v.check + "\t" + OneLine(v.what) + "\n";
    report += "M " + std::to_string(k);
    for (int pair = 0; pair < 3; ++pair) report += " " + std::to_string(reach.present[pair] + 2 * reach.predicted[pair]);
    for (uint64_t n : reach.table_rows) report += " " + std::to_string(n);
    report += "\nE " + std::to_string(k) + "\n";
    WriteAll(fd, report);
  }
  _exit(0);
}

Worker StartWorker(const Options& options, uint64_t first, uint64_t stride, uint64_t end,
                   Clock::time_point deadline) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(fds[0]);
    WorkerLoop(fds[1], options, first, stride, end, deadline);
  }
  close(fds[1]);
  Worker worker;
  worker.pid = pid;
  worker.fd = fds[0];
  worker.next = first;
  return worker;
}

std::string DescribeExit(int status) {
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exit code " + std::to_string(WEXITSTATUS(status));
}

// Whether `text` still fails `check`, decided in a child process so that a
// crash is an answer rather than the end of the exploration.
bool FailsInChild(const std::string& text, const std::string& check) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // A crash report of a candidate is not news.
    if (check != kCrash) freopen("/dev/null", "w", stderr);
    std::vector<Violation> violations = CheckScenarioText(text, "candidate.scn", check == kDeterminism);
    for (const Violation& v : violations)
      if (v.check == check) _exit(0);
    _exit(3);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  if (check == kCrash) return WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> ModelExpectation(const std::string& text) {
#ifdef FENRA_EXPLORER_MODEL
  try {
    return Describe(Predict(runner::ParseScenario(text, "shrunk.scn")));
  } catch (const std::exception& e) {
    return {std::string("(the model could not read it: ") + e.what() + ")"};
  }
#else
  (void)text;
  return {"(no model of the alert rules in this build: the invariants alone)"};
#endif
}

std::optional<uint64_t> ParseDuration(const std::string& text) {
  unsigned long long h = 0, m = 0, s = 0;
  char extra = 0;
  if (sscanf(text.c_str(), "%llu:%llu:%llu%c", &h, &m, &s, &extra) != 3 || m > 59 || s > 59) return std::nullopt;
  return (h * 60 + m) * 60 + s;
}

long MaxResidentKb(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_maxrss;
}

int Explore(const Options& options) {
  const auto began = Clock::now();
  Clock::time_point deadline = Clock::time_point::max();
  if (!options.duration.empty()) deadline = began + std::chrono::seconds(*ParseDuration(options.duration));
  uint64_t first = options.only.value_or(options.first);
  uint64_t end = options.only ? first + 1 : options.runs == UINT64_MAX ? UINT64_MAX : first + options.runs;
  unsigned jobs = options.only ? 1 : std::max(1u, options.jobs);

  std::vector<Worker> workers;
  for (unsigned j = 0; j < jobs && first + j < end; ++j)
    workers.push_back(StartWorker(options, first + j, jobs, end, deadline));

  std::map<uint64_t, std::vector<Violation>> failures;
  ModelTally model_tally;
  std::vector<uint64_t> completed;
  uint64_t done = 0;
  const bool tty = isatty(STDERR_FILENO) != 0;
  auto last_progress = Clock::now();
  auto progress = [&](bool final) {
    double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    char line[160];
    snprintf(line, sizeof line, "explore: %llu runs, %.1f runs/s, %zu failing", static_cast<unsigned long long>(done),
             seconds > 0 ? done / seconds : 0.0, failures.size());
    if (tty)
      fprintf(stderr, "\r%s%s", line, final ? "\n" : "");
    else
      fprintf(stderr, "%s\n", line);
  };

  while (!workers.empty()) {
    std::vector<pollfd> fds;
    for (const Worker& w : workers) fds.push_back({w.fd, POLLIN, 0});
    poll(fds.data(), fds.size(), 500);
    for (size_t i = 0; i < workers.size();) {
      Worker& w = workers[i];
      bool ended = false;
      if (fds[i].revents != 0) {
        char chunk[4096];
        ssize_t n = read(w.fd, chunk, sizeof chunk);
        if (n > 0)
          w.buffer.append(chunk, static_cast<size_t>(n));
        else
          ended = true;
      }
      for (size_t nl; (nl = w.buffer.find('\n')) != std::string::npos;) {
        std::string line = w.buffer.substr(0, nl);
        w.buffer.erase(0, nl + 1);
        unsigned long long k = 0;
        if (line.size() < 3 || sscanf(line.c_str() + 2, "%llu", &k) != 1) continue;
        if (line[0] == 'M') {
          std::istringstream fields(line.substr(2));
          uint64_t run = 0, pair_state[3] = {};
          ModelReach reach;
          fields >> run >> pair_state[0] >> pair_state[1] >> pair_state[2];
          for (uint64_t& n : reach.table_rows) fields >> n;
          for (int pair = 0; pair < 3; ++pair) {
            reach.present[pair] = (pair_state[pair] & 1) != 0;
            reach.predicted[pair] = (pair_state[pair] & 2) != 0;
          }
          model_tally.Add(reach);
        } else if (line[0] == 'B') {
          w.current = k;
        } else if (line[0] == 'V') {
          size_t blank = line.find(' ', 2);
          size_t tab = line.find('\t');
          Violation v{line.substr(blank + 1, tab - blank - 1), line.substr(tab + 1)};
          if (failures[k].empty())
            fprintf(stderr, "%sexplore: run %llu fails %s: %s\n", tty ? "\r" : "", k, v.check.c_str(), v.what.c_str());
          failures[k].push_back(std::move(v));
        } else if (line[0] == 'E') {
          w.current.reset();
          w.next = k + jobs;
          completed.push_back(k);
          ++done;
        }
      }
      if (!ended) {
        ++i;
        continue;
      }
      int status = 0;
      waitpid(w.pid, &status, 0);
      close(w.fd);
      std::optional<uint64_t> crashed = w.current;
      uint64_t next = w.next;
      workers.erase(workers.begin() + static_cast<std::ptrdiff_t>(i));
      if (crashed) {
        failures[*crashed].push_back({kCrash, "the run's process ended: " + DescribeExit(status)});
        completed.push_back(*crashed);
        ++done;
        next = *crashed + jobs;
      }
      // A fresh worker goes on with the stride (after a crash, or when the
      // last one had made its share of runs).
      if (next < end && Clock::now() < deadline) workers.push_back(StartWorker(options, next, jobs, end, deadline));
    }
    if (Clock::now() - last_progress > std::chrono::seconds(tty ? 1 : 15)) {
      progress(false);
      last_progress = Clock::now();
    }
  }
  progress(true);
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();

  // Shrink the failures, one per check first.
  std::vector<std::string> written;
  if (!failures.empty()) {
    fs::create_directories(options.out);
    std::set<std::string> shrunk_checks;
    size_t shrunk = 0;
    for (const auto& [k, violations] : failures) {
      GeneratedRun generated = Generate(options.seed, k, options.long_runs);
      std::string base = options.out + "/seed-" + std::to_string(options.seed) + "-run-" + std::to_string(k);
      std::ofstream(base + ".scn") << "# Run " << k << " of seed " << options.seed << " (fenra-sim explore --seed "
                                   << options.seed << " --run " << k << (options.long_runs ? "" : " --no-long-runs")
                                   << ")\n"
                                   << generated.text;
      written.push_back(base + ".scn");
      const Violation& first_violation = violations.front();
      if (!options.shrink || shrunk >= kShrinkFailures || shrunk_checks.count(first_violation.check)) continue;
      shrunk_checks.insert(first_violation.check);
      ++shrunk;
      fprintf(stderr, "explore: shrinking run %llu (%s)...\n", static_cast<unsigned long long>(k),
              first_violation.check.c_str());
      const auto shrink_began = Clock::now();
      ShrinkResult result = Shrink(
          generated.text,
          [&](const std::string& candidate) {
            return Clock::now() - shrink_began < kShrinkTime && FailsInChild(candidate, first_violation.check);
          },
          kShrinkBudget);
      std::vector<Violation> now = first_violation.check == kCrash
                                       ? std::vector<Violation>{first_violation}
                                       : CheckScenarioText(result.text, "shrunk.scn", false);
      std::string header = "# Shrunk by fenra-sim explore from run " + std::to_string(k) + " of seed " +
                           std::to_string(options.seed) + " (" + std::to_string(result.tried) +
                           " candidates tried).\n# Check failed: " + first_violation.check + "\n";
      for (const Violation& v : now)
        if (v.check == first_violation.check) header += "#   " + OneLine(v.what) + "\n";
      header += "# The model expects:\n";
      for (const std::string& line : ModelExpectation(result.text)) header += "#   " + OneLine(line) + "\n";
      std::ofstream(base + "-shrunk.scn") << header << result.text;
      written.push_back(base + "-shrunk.scn");
    }
  }

  // Summary: what was explored, and what failed.
  ChoiceTally tally;
  for (uint64_t k : completed) tally.Add(Generate(options.seed, k, options.long_runs).choices);
  auto share = [&](uint64_t n) {
    char text[48];
    snprintf(text, sizeof text, "%llu (%.0f%%)", static_cast<unsigned long long>(n),
             tally.runs ? 100.0 * n / tally.runs : 0.0);
    return std::string(text);
  };
  printf("explore: seed %llu, %llu runs in %.0f s (%.1f runs/s, %u jobs), %.1f virtual hours\n",
         static_cast<unsigned long long>(options.seed), static_cast<unsigned long long>(done), seconds,
         seconds > 0 ? done / seconds : 0.0, jobs, tally.virtual_ms / 3.6e6);
  printf("  generation 0: %s, 1: %s, 2: %s\n", share(tally.generation[0]).c_str(), share(tally.generation[1]).c_str(),
         share(tally.generation[2]).c_str());
  printf("  restarts: %s, WMI faults or unreadable events: %s, event-log/registry/folder faults: %s\n",
         share(tally.restart).c_str(), share(tally.wmi_fault).c_str(), share(tally.machine_fault).c_str());
  printf("  TRIPLEX: %s, ExPCI pair: %s, thresholds beyond 2^31 ms: %s, tick near 2^31/2^32: %s\n",
         share(tally.triplex).c_str(), share(tally.expci).c_str(), share(tally.beyond).c_str(),
         share(tally.tick_turn).c_str());
  printf("  SimplexDate from before: %s, serial numbers: %s, unknown codes: %s, Japanese: %s\n",
         share(tally.simplex_date).c_str(), share(tally.serials).c_str(), share(tally.unknown_code).c_str(),
         share(tally.japanese).c_str());
#ifdef FENRA_EXPLORER_MODEL
  auto of = [](uint64_t n, uint64_t all) {
    char text[64];
    snprintf(text, sizeof text, "%llu of %llu (%.0f%%)", static_cast<unsigned long long>(n),
             static_cast<unsigned long long>(all), all ? 100.0 * n / all : 0.0);
    return std::string(text);
  };
  printf("  model predicted: runs %s; pairs CPU %s, PCI %s, ExPCI %s\n",
         of(model_tally.predicted_runs, model_tally.runs).c_str(),
         of(model_tally.predicted_pairs[0], model_tally.pairs[0]).c_str(),
         of(model_tally.predicted_pairs[1], model_tally.pairs[1]).c_str(),
         of(model_tally.predicted_pairs[2], model_tally.pairs[2]).c_str());
  printf("  transition table rows reached (times, runs):");
  for (size_t row = 0; row < model_tally.row_hits.size(); ++row)
    printf("%s %s %llu/%llu", row ? "," : "", kTableRows[row], static_cast<unsigned long long>(model_tally.row_hits[row]),
           static_cast<unsigned long long>(model_tally.row_runs[row]));
  printf("\n");
#endif
  printf("  platform version below 5: %s, 5: %s, above 5: %s, first byte 0x80 or more: %s\n",
         share(tally.version_side[0]).c_str(), share(tally.version_side[1]).c_str(),
         share(tally.version_side[2]).c_str(), share(tally.version_side[3]).c_str());
  printf("  incoherent reports: %s, 3-90 s inside a flap: %s, a third CPU joining: %s, slow start-up walk: %s, "
         "module exchanged: %s\n",
         share(tally.incoherent).c_str(), share(tally.flap_gap).c_str(), share(tally.triplex_join).c_str(),
         share(tally.slow_walk).c_str(), share(tally.exchange).c_str());
  printf("  largest worker: %ld KiB resident\n", MaxResidentKb(RUSAGE_CHILDREN));
  std::map<std::string, uint64_t> by_check;
  for (const auto& [k, violations] : failures) {
    std::set<std::string> checks;
    for (const Violation& v : violations) checks.insert(v.check);
    for (const std::string& c : checks) ++by_check[c];
  }
  // Every check by name, those that passed too; then any other complaint.
  printf("  failing runs: %zu\n", failures.size());
  std::vector<const char*> every(std::begin(kChecks), std::end(kChecks));
  every.push_back(kTimeline);
  for (const char* check : every) {
    printf("    %s: %llu\n", check, static_cast<unsigned long long>(by_check[check]));
    by_check.erase(check);
  }
  for (const auto& [check, n] : by_check) printf("    %s: %llu\n", check.c_str(), static_cast<unsigned long long>(n));
  size_t shown = 0;
  for (const auto& [k, violations] : failures) {
    if (++shown > 20) break;
    printf("  run %llu: %s: %s\n", static_cast<unsigned long long>(k), violations.front().check.c_str(),
           violations.front().what.c_str());
  }
  for (const std::string& path : written) printf("  wrote %s\n", path.c_str());
  return failures.empty() ? 0 : 1;
}

}  // namespace

std::vector<Violation> CheckScenarioText(const std::string& text, const std::string& name, bool determinism,
                                         ModelReach* reach) {
  runner::Scenario scenario;
  try {
    scenario = runner::ParseScenario(text, name);
  } catch (const std::exception& e) {
    return {{"scenario", e.what()}};
  }
  runner::RunResult result;
  try {
    result = runner::RunScenario(scenario);
  } catch (const std::exception& e) {
    return {{"scenario", e.what()}};
  }
  std::vector<Violation> violations = CheckInvariants(scenario, result.observations, result.failure);
  for (std::string& problem :
       runner::CheckTimeline(scenario, result.observations, runner::RenderTimeline(scenario, result.observations)))
    violations.push_back({kTimeline, std::move(problem)});
  if (determinism) {
    runner::RunResult again = runner::RunScenario(scenario);
    if (Rendered(scenario, again) != Rendered(scenario, result))
      violations.push_back({kDeterminism, "two runs of the same scenario gave different output"});
  }
#ifdef FENRA_EXPLORER_MODEL
  Prediction prediction = Predict(scenario);
  for (const Disagreement& d : Compare(prediction, ReadAlerts(scenario, result.observations)))
    violations.push_back({kModel, d.what});
  if (reach != nullptr) {
    for (int pair = 0; pair < 3; ++pair) {
      reach->present[pair] = prediction.pairs[pair].present;
      reach->predicted[pair] = prediction.pairs[pair].present && prediction.pairs[pair].predicted;
    }
    reach->table_rows = prediction.table_rows;
  }
#else
  (void)reach;
#endif
  return violations;
}

int ExploreMain(int argc, char** argv) {
  CLI::App app{
      "Explores the service: seeded random scenarios (hardware histories, thresholds, restarts, faults), each run\n"
      "on the simulated machine and checked against the alert rules; failing runs are shrunk to scenario files.\n"
      "Run k of seed S is the same run everywhere.",
      "fenra-sim explore"};
  app::PlainHelp(app);
  app::NameParseErrors(app);
  Options options;
  uint64_t only = 0;
  app.add_option("--seed", options.seed, "the exploration's seed (default 1)")->type_name("S");
  auto* runs = app.add_option("--runs", options.runs, "how many runs (default 100; with --duration: until it ends)")
                   ->type_name("N");
  app.add_option("--first", options.first, "the first run (default 0): runs K to K+N-1, for sharding")
      ->type_name("K");
  auto* run = app.add_option("--run", only, "only run K of the seed (to reproduce one)")->type_name("K");
  app.add_option("--duration", options.duration, "start no run after this much wall time")->type_name("H:MM:SS");
  app.add_option("--out", options.out, "where failing and shrunk scenarios go (default explore-out)")
      ->type_name("DIR");
  app.add_option("--jobs", options.jobs, "runs at a time, each in its own process: 1 to 256 (default 1)")
      ->type_name("J")
      ->check(CLI::Range(1u, 256u).description(""));
  app.add_flag("!--no-shrink", options.shrink, "write failing runs without shrinking them");
  app.add_flag("!--no-long-runs", options.long_runs,
               "leave out the runs of several virtual weeks (thresholds beyond 2^31 ms that run out)");
  bool show = false;
  app.add_flag("--show", show, "with --run: print the run's scenario instead of running it");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  if (!options.duration.empty() && !ParseDuration(options.duration)) {
    fprintf(stderr, "fenra-sim explore: --duration %s: not H:MM:SS\n", options.duration.c_str());
    return 2;
  }
  if (!options.duration.empty() && runs->count() == 0) options.runs = UINT64_MAX;
  if (run->count() != 0) options.only = only;
  if (show) {
    if (!options.only) {
      fprintf(stderr, "fenra-sim explore: --show needs --run\n");
      return 2;
    }
    std::string text = Generate(options.seed, *options.only, options.long_runs).text;
    fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }
  try {
    return Explore(options);
  } catch (const std::exception& e) {
    fprintf(stderr, "fenra-sim explore: %s\n", e.what());
    return 1;
  }
}

}  // namespace fenra::explorer
