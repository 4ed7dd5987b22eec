// From a change of the simulated hardware to the service's trace line: the
// latency of one change (p50, p99) beside the floor of the file-change
// notification that carries it, and a storm of changes in a minute,
// counted as the service's events.
//
//   fenra_hardware_event_bench FENRA [CHANGES] [STORM] [STORM_MS]
//
// Starts FENRA (the fenra front end) on a new first-look machine, waits
// until the CPU group's WMI thread has subscribed (a minute after the
// start), then edits the hardware as fenra-hw does (EditHardware: the
// description and the change journal under the journal's lock), CHANGES
// times (default 50) 100 ms apart, and takes the time from just before each
// write to the stamp of the service's "(CPU 1) --> ..." trace line (the
// trace stamps to the millisecond). The changes move CPU module 1 between
// BROKEN and OFFLINE: each is a state event the service traces, but no
// transition, so the figure is the event's road and not the timer
// manager's handshake (up to 2 s by design while a DUPLEX timer runs).
// Then STORM changes (default 600) over
// STORM_MS (default 60000), the last tenth of them written back to back,
// faster than any reader, and counts the service's lines for them. The
// floor: the same append to a file, timed to the moment a thread blocked in
// inotify wakes for it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/hardware_journal.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

// Local wall time in milliseconds, the trace's own clock.
int64_t LocalMs(Clock::time_point t) {
  time_t seconds = Clock::to_time_t(t);
  tm local{};
  localtime_r(&seconds, &local);
  int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  return ((static_cast<int64_t>(timegm(&local))) * 1000) + ms;
}

// "2026/12/07 02:15'45\"562 " as local milliseconds; -1 when it is none.
int64_t StampMs(const std::string& line) {
  tm t{};
  int ms = 0;
  if (sscanf(line.c_str(), "%d/%d/%d %d:%d'%d\"%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
             &t.tm_sec, &ms) != 7)
    return -1;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return static_cast<int64_t>(timegm(&t)) * 1000 + ms;
}

// The service's lines for CPU module 1's events, in file order over both
// trace files (the older file first).
std::vector<int64_t> EventStamps(const fs::path& trace_dir) {
  std::vector<std::pair<int64_t, int64_t>> lines;  // stamp, order
  int64_t order = 0;
  for (const char* name : {"fenratrace1.log", "fenratrace2.log"}) {
    std::ifstream in(trace_dir / name);
    for (std::string line; std::getline(in, line);)
      if (line.find("  (CPU 1) --> ") != std::string::npos) lines.push_back({StampMs(line), order++});
  }
  std::stable_sort(lines.begin(), lines.end());
  std::vector<int64_t> stamps;
  for (const auto& [stamp, unused] : lines) stamps.push_back(stamp);
  return stamps;
}

// Waits until the trace holds `count` event lines, or 10 s pass without a
// new one; the count then.
size_t WaitForLines(const fs::path& trace_dir, size_t count) {
  size_t seen = 0;
  auto progress = std::chrono::steady_clock::now();
  for (;;) {
    size_t now = EventStamps(trace_dir).size();
    if (now >= count) return now;
    if (now > seen) {
      seen = now;
      progress = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - progress > std::chrono::seconds(10)) {
      return now;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// One change as fenra-hw makes it: CPU module 1 to `state`.
void Change(const fs::path& machine, const char* state) {
  std::string error;
  bool written = fenra::sim::EditHardware(
      machine,
      [&](nlohmann::json& document) {
        for (auto& module : document["wmi"]["modules"])
          if (module["name"] == "1") module["state"] = state;
        return std::vector<fenra::sim::HardwareChange>{{"cpu/1", state}};
      },
      &error);
  if (!written) {
    fprintf(stderr, "hardware_event_bench: %s\n", error.c_str());
    exit(1);
  }
}

// The floor: an append of one journal line, timed to the wake of a thread
// blocked in poll on an inotify descriptor that watches the directory.
std::vector<double> NotificationFloor(const fs::path& directory, int count) {
  int notify = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(notify, directory.c_str(), IN_MODIFY);
  int file = open((directory / "floor.changes").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  const std::string line = "{\"key\":\"cpu/1\",\"state\":\"BROKEN\"}\n";
  std::vector<double> micros;
  for (int i = 0; i < count; ++i) {
    std::chrono::steady_clock::time_point woke;
    std::thread waiter([&] {
      pollfd fd{notify, POLLIN, 0};
      poll(&fd, 1, -1);
      woke = std::chrono::steady_clock::now();
      char buffer[4096];
      ssize_t ignored = read(notify, buffer, sizeof(buffer));
      (void)ignored;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the waiter blocks
    auto before = std::chrono::steady_clock::now();
    ssize_t written = write(file, line.data(), line.size());
    (void)written;
    waiter.join();
    micros.push_back(std::chrono::duration<double, std::micro>(woke - before).count());
  }
  close(file);
  close(notify);
  return micros;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: fenra_hardware_event_bench FENRA [CHANGES] [STORM] [STORM_MS]\n");
    return 2;
  }
  const int changes = argc > 2 ? atoi(argv[2]) : 50;
  const int storm = argc > 3 ? atoi(argv[3]) : 600;
  const int storm_ms = argc > 4 ? atoi(argv[4]) : 60000;
  std::string pattern = (fs::temp_directory_path() / "fenra-hw-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  fs::path root = pattern, machine = root / "machine";
  fs::path trace_dir = machine / "drive_c/QOR/QVMAlertMan/Temp";

  pid_t service = fork();
  if (service == 0) {
    std::string log = (root / "fenra.out").string();
    freopen(log.c_str(), "w", stdout);
    freopen(log.c_str(), "a", stderr);
    execl(argv[1], argv[1], "--machine", machine.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // The CPU group's WMI thread subscribes a minute after the start.
  printf("waiting for the CPU group's subscription (about a minute)...\n");
  fflush(stdout);
  for (int i = 0;; ++i) {
    std::ifstream in(trace_dir / "fenratrace1.log");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.find("[WMIThread 0]wms.getEvent res1 = 0") != std::string::npos) break;
    if (i > 1800) {
      fprintf(stderr, "hardware_event_bench: no subscription after 3 minutes\n");
      kill(service, SIGKILL);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  // Latency: one change at a time.
  std::vector<int64_t> written;
  size_t before = EventStamps(trace_dir).size();
  for (int i = 0; i < changes; ++i) {
    written.push_back(LocalMs(Clock::now()));
    Change(machine, i % 2 == 0 ? "BROKEN" : "OFFLINE");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  WaitForLines(trace_dir, before + static_cast<size_t>(changes));
  std::vector<int64_t> seen = EventStamps(trace_dir);
  std::vector<double> latency;
  for (size_t i = 0; i < written.size() && before + i < seen.size(); ++i)
    latency.push_back(static_cast<double>(seen[before + i] - written[i]));

  // The storm: evenly spread, then the last tenth back to back.
  before = seen.size();
  int spread = storm - storm / 10;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < storm; ++i) {
    if (i < spread) std::this_thread::sleep_until(start + std::chrono::milliseconds(int64_t{storm_ms} * i / storm));
    Change(machine, i % 2 == 0 ? "BROKEN" : "OFFLINE");
  }
  size_t storm_seen = WaitForLines(trace_dir, before + static_cast<size_t>(storm)) - before;

  kill(service, SIGTERM);
  int status = 0;
  waitpid(service, &status, 0);
  std::vector<double> floor = NotificationFloor(root, changes);
  fs::remove_all(root);

  printf("change to trace line (%zu of %d changes, ms): p50 %.0f  p99 %.0f  max %.0f\n", latency.size(), changes,
         Percentile(latency, 0.5), Percentile(latency, 0.99), Percentile(latency, 1.0));
  printf("floor, append to inotify wake (us):           p50 %.0f  p99 %.0f  max %.0f\n", Percentile(floor, 0.5),
         Percentile(floor, 0.99), Percentile(floor, 1.0));
  printf("storm: %d changes in %d ms (the last %d back to back) reached the service as %zu events\n", storm,
         storm_ms, storm - spread, storm_seen);
  return latency.size() == static_cast<size_t>(changes) && storm_seen == static_cast<size_t>(storm) ? 0 : 1;
}
