#pragma once
// Read-or-create access to values under HKEY_LOCAL_MACHINE, and the
// defaults of the six SIMPLEX thresholds.
//
// Neither accessor fails its caller: it always hands back a usable value
// and says by its result whether that value was read (1) or is the default
// (0). Every step and failure is traced. A stored value of another type, or
// one that does not fit its field, is a read failure: the default is handed
// back and nothing is written. No lock is taken; callers never touch the
// same value at the same time.

#include <array>
#include <cstddef>
#include <cstdint>

#include "runtime.h"

namespace fenra {

// Opens `key_path` (creating it when missing) and reads the REG_DWORD
// `value_name`. A missing value is created with `default_value`.
int GetRegisterDWORD(Runtime& runtime, const char* key_path, const char* value_name, uint32_t default_value,
                     uint32_t* value);

// Serves the 12-character date stamps: reads the REG_SZ `value_name` into
// `previous` (cut to previous_size - 1 characters) and leaves `new_value` in
// its place, written as 12 bytes without a terminator. Result 0 (then
// `previous` holds a copy of `new_value`) when no stored value could be
// read; `new_value` is stored too when the value was missing.
int GetRegisterSZ(Runtime& runtime, const char* key_path, const char* value_name, const char* new_value,
                  char* previous, size_t previous_size);

// Reads `name` into `field` (at most 16 bytes). The value must be of `type`
// and fill the field exactly; another type or length gives
// ERROR_INVALID_DATA and leaves the field as it was. 0 or a Win32 code.
int32_t ReadValueExactly(Registry& registry, RegKey& key, const char* name, uint32_t type, void* field,
                         uint32_t size);

// Data length of the strings GetRegisterSZ writes.
inline constexpr uint32_t kRegisterSzLength = 12;

// Defaults of a pair's two thresholds, in minutes; of each pair in the
// order of kPairs.
struct PairThresholds {
  uint32_t short_minutes;
  uint32_t long_minutes;
};
using ThresholdDefaults = std::array<PairThresholds, 3>;

// The defaults for a platform software version starting with `first`,
// compared as a signed character: a byte of 0x80 or above counts as below
// '1'.
ThresholdDefaults ThresholdDefaultsFor(char first);

}  // namespace fenra
