// registry_values FILE: reads a machine's registry.reg with the machine's own
// reader and prints every value of HKEY_LOCAL_MACHINE, one a line:
// KEY<TAB>NAME<TAB>TYPE<TAB>hex data. Exit status 1, with the reader's
// message, when the file does not parse. For scripts/kill-loop.

#include <cstdio>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/sim/reg_file.h"

namespace {

void Print(const fenra::sim::RegNode& node, const std::string& path) {
  for (const auto& [name, value] : node.values) {
    printf("%s\t%s\t%u\t", path.c_str(), name.c_str(), value.type);
    for (uint8_t byte : value.data) printf("%02x", byte);
    printf("\n");
  }
  for (const auto& [name, subkey] : node.subkeys) Print(*subkey, path.empty() ? name : path + "\\" + name);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: registry_values FILE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    fprintf(stderr, "registry_values: %s cannot be read\n", argv[1]);
    return 1;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  try {
    fenra::sim::RegHives hives;
    fenra::sim::ParseRegText(bytes.str(), argv[1], &hives);
    Print(*hives.local_machine, "");
  } catch (const std::exception& e) {
    fprintf(stderr, "registry_values: %s\n", e.what());
    return 1;
  }
  return 0;
}
