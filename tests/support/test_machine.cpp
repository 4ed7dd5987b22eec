#include "support/test_machine.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fenra::testing {
namespace {

// Stamp "2026/01/01 01:00'00\"000 ": the message starts after the second
// blank.
std::string StripStamp(const std::string& line) {
  size_t first = line.find(' ');
  size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
  return second == std::string::npos ? line : line.substr(second + 1);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

}  // namespace

sim::MachineOptions VirtualTime(bool started_by_scm) {
  sim::MachineOptions options;
  options.kernel.virtual_time = true;
  options.started_by_scm = started_by_scm;
  return options;
}

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "fenra-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

TestMachine::TestMachine(sim::MachineOptions options, Prepare prepare) {
  std::filesystem::path machine_directory = scratch_.path() / "machine";
  if (prepare) {
    sim::SimMachine::CreateBaseline(machine_directory);
    prepare(machine_directory);
  }
  machine_ = std::make_unique<sim::SimMachine>(machine_directory, options);
  // On real time the test's thread is attached by its first kernel call
  // (the machine's construction makes one).
  if (options.kernel.virtual_time) attachment_.emplace(machine_->kernel().Attach("test"));
}

std::filesystem::path TestMachine::TracePath(const std::string& file_name) {
  return machine_->HostPath(std::string(sim::SimMachine::kBaselineTraceDir) + file_name);
}

std::vector<std::string> TestMachine::TraceMessages() {
  std::vector<std::string> first = Lines(ReadFile(TracePath("fenratrace1.log")));
  std::vector<std::string> second = Lines(ReadFile(TracePath("fenratrace2.log")));
  // The file whose first stamp is older holds the older lines.
  if (!first.empty() && !second.empty() && second.front() < first.front()) std::swap(first, second);
  std::vector<std::string> messages;
  for (const auto* file : {&first, &second})
    for (const std::string& line : *file) messages.push_back(StripStamp(line));
  return messages;
}

std::vector<sim::EventLogRecord> TestMachine::Events() { return sim::ReadEventLog(machine_->event_log_path()); }

std::vector<uint32_t> TestMachine::EventIds() {
  std::vector<uint32_t> ids;
  for (const auto& event : Events()) ids.push_back(event.event_id);
  return ids;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace fenra::testing
