// machine_files registry FILE: reads a machine's registry.reg with the
// machine's own reader and prints every value of HKEY_LOCAL_MACHINE, one a
// line: KEY<TAB>NAME<TAB>TYPE<TAB>hex data.
// machine_files eventlog FILE: reads an eventlog.jsonl with the machine's
// own reader and prints the number of records.
// Exit status 1, with the reader's message, when the file cannot be read.
// For scripts/kill-loop.

#include <cstdio>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/sim/reg_file.h"
#include "platform/sim/sim_event_log.h"

namespace {

void Print(const fenra::sim::RegNode& node, const std::string& path) {
  for (const auto& [name, value] : node.values) {
    printf("%s\t%s\t%u\t", path.c_str(), name.c_str(), value.type);
    for (uint8_t byte : value.data) printf("%02x", byte);
    printf("\n");
  }
  for (const auto& [name, subkey] : node.subkeys) Print(*subkey, path.empty() ? name : path + "\\" + name);
}

void PrintRegistry(const char* file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error(std::string(file) + " cannot be read");
  std::ostringstream bytes;
  bytes << in.rdbuf();
  fenra::sim::RegHives hives;
  fenra::sim::ParseRegText(bytes.str(), file, &hives);
  Print(*hives.local_machine, "");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc == 3 ? argv[1] : "";
  if (what != "registry" && what != "eventlog") {
    fprintf(stderr, "usage: machine_files registry|eventlog FILE\n");
    return 2;
  }
  try {
    if (what == "registry")
      PrintRegistry(argv[2]);
    else
      printf("%zu\n", fenra::sim::ReadEventLog(argv[2]).size());
  } catch (const std::exception& e) {
    fprintf(stderr, "machine_files: %s\n", e.what());
    return 1;
  }
  return 0;
}
