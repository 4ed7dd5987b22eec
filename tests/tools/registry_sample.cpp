// registry_sample FILE: writes the registry sample (support/registry_sample.h)
// into the .reg file FILE, for scripts/wine-regedit-roundtrip.

#include <cstdio>
#include <exception>

#include "support/registry_sample.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: registry_sample FILE\n");
    return 2;
  }
  try {
    fenra::sim::SimRegistry registry(argv[1]);
    if (int32_t error = fenra::testing::WriteRegistrySample(registry)) {
      fprintf(stderr, "registry_sample: %s: Win32 error %d\n", argv[1], error);
      return 1;
    }
  } catch (const std::exception& e) {
    fprintf(stderr, "registry_sample: %s\n", e.what());
    return 1;
  }
  return 0;
}
