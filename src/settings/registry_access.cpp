#include "settings/registry_access.h"

#include <cstring>

#include "diagnostics/trace_texts.h"
#include "support/fixed_text.h"
#include "wmi/wmi_tables.h"

namespace fenra {
namespace {

// Standard read rights plus query value, set value and create sub-key.
constexpr uint32_t kAccess = 0x20000 | win::kKeyQueryValue | win::kKeySetValue | win::kKeyCreateSubKey;
constexpr uint32_t kStringBufferSize = 256;

// The trace texts of one accessor.
struct AccessorTexts {
  const char* open_failed;
  const char* create_failed;
  const char* created;
  const char* query_failed;
  const char* set_failed;
  const char* read_failed;
};

constexpr AccessorTexts kDwordTexts{
    "[GetRegisterDWORD]OpenKey %s faild // ret = %d",
    "[GetRegisterDWORD]CreateKey %s faild // ret = %d",
    "[GetRegisterDWORD]CreateKey %s",
    "[GetRegisterDWORD]QueryValue %s faild // ret = %d",
    "[GetRegisterDWORD]SetValue %s faild // ret = %d",
    "[GetRegisterDWORD]GetKeyVal %s faild // ret = %d",
};
constexpr AccessorTexts kSzTexts{
    "[GetRegisterSZ]OpenKey %s faild // ret = %d",
    "[GetRegisterSZ]CreateKey %s faild // ret = %d",
    "[GetRegisterSZ]CreateKey %s",
    "[GetRegisterSZ]QueryValue %s faild // ret = %d",
    "[GetRegisterSZ]SetValue %s faild // ret = %d",
    "[GetRegisterSZ]GetKeyVal %s faild // ret = %d",
};

// The key, opened or else created; null when neither works.
RegKeyPtr OpenOrCreateKey(Runtime& runtime, const char* key_path, const AccessorTexts& texts) {
  Registry& registry = runtime.platform.registry;
  RegKeyPtr key;
  int32_t result = registry.OpenKey(Hive::kLocalMachine, key_path, kAccess, &key);
  if (result == 0) return key;
  runtime.trace.TraceLogF(texts.open_failed, key_path, result);
  result = registry.CreateKey(Hive::kLocalMachine, key_path, kAccess, &key, nullptr);
  if (result != 0) {
    runtime.trace.TraceLogF(texts.create_failed, key_path, result);
    return nullptr;
  }
  runtime.trace.TraceLogF(texts.created, key_path);
  return key;
}

// Writes `new_value` as a REG_SZ of exactly 12 bytes without a terminator.
// The byte after the data must not be a NUL, or the platform stores a
// terminator too; the copy makes sure of that.
void WriteStamp(Runtime& runtime, RegKey& key, const char* value_name, const char* new_value) {
  char data[kRegisterSzLength + 1] = {};
  memcpy(data, new_value, strnlen(new_value, kRegisterSzLength));
  data[kRegisterSzLength] = ' ';
  int32_t result = runtime.platform.registry.SetValue(key, value_name, win::kRegSz,
                                                      reinterpret_cast<const uint8_t*>(data), kRegisterSzLength);
  if (result != 0)
    runtime.trace.TraceLogF(kSzTexts.set_failed, value_name, result);
  else
    runtime.trace.TraceLogF(trace_text::kRegisterSzStored, value_name, new_value);
}

}  // namespace

int32_t ReadValueExactly(Registry& registry, RegKey& key, const char* name, uint32_t type, void* field, uint32_t size) {
  uint8_t data[16] = {};
  if (size > sizeof(data)) return static_cast<int32_t>(win::kErrorInvalidParameter);
  uint32_t stored_type = 0;
  uint32_t stored_size = size;
  int32_t result = registry.QueryValue(key, name, &stored_type, data, &stored_size);
  if (result != 0) return result;
  if (stored_type != type || stored_size != size) return static_cast<int32_t>(win::kErrorInvalidData);
  memcpy(field, data, size);
  return 0;
}

int GetRegisterDWORD(Runtime& runtime, const char* key_path, const char* value_name, uint32_t default_value,
                     uint32_t* value) {
  Registry& registry = runtime.platform.registry;
  *value = default_value;
  RegKeyPtr key = OpenOrCreateKey(runtime, key_path, kDwordTexts);
  if (!key) return 0;

  uint32_t size = 0;
  int32_t result = registry.QueryValue(*key, value_name, nullptr, nullptr, &size);
  if (result != 0) {
    runtime.trace.TraceLogF(kDwordTexts.query_failed, value_name, result);
    result = registry.SetValue(*key, value_name, win::kRegDword, reinterpret_cast<const uint8_t*>(&default_value),
                               sizeof(default_value));
    if (result != 0)
      runtime.trace.TraceLogF(kDwordTexts.set_failed, value_name, result);
    else
      runtime.trace.TraceLogF("[GetRegisterDWORD]SetValue %s = %d", value_name, static_cast<int>(default_value));
    return 0;
  }

  uint32_t stored = 0;
  result = ReadValueExactly(registry, *key, value_name, win::kRegDword, &stored, sizeof(stored));
  if (result != 0) {
    runtime.trace.TraceLogF(kDwordTexts.read_failed, value_name, result);
    return 0;
  }
  *value = stored;
  return 1;
}

int GetRegisterSZ(Runtime& runtime, const char* key_path, const char* value_name, const char* new_value, char* previous,
                  size_t previous_size) {
  Registry& registry = runtime.platform.registry;
  CopyText(previous, previous_size, new_value);
  RegKeyPtr key = OpenOrCreateKey(runtime, key_path, kSzTexts);
  if (!key) return 0;

  uint32_t size = 0;
  int32_t result = registry.QueryValue(*key, value_name, nullptr, nullptr, &size);
  if (result != 0) {
    runtime.trace.TraceLogF(kSzTexts.query_failed, value_name, result);
    WriteStamp(runtime, *key, value_name, new_value);
    return 0;
  }

  // One byte beyond the 256-byte buffer keeps a full buffer terminated.
  char stored[kStringBufferSize + 1] = {};
  uint32_t type = 0;
  size = kStringBufferSize;
  result = registry.QueryValue(*key, value_name, &type, reinterpret_cast<uint8_t*>(stored), &size);
  if (result == 0 && type != win::kRegSz) result = static_cast<int32_t>(win::kErrorInvalidData);
  if (result != 0) {
    runtime.trace.TraceLogF(kSzTexts.read_failed, value_name, result);
    return 0;
  }
  CopyText(previous, previous_size, stored);
  WriteStamp(runtime, *key, value_name, new_value);
  return 1;
}

ThresholdDefaults ThresholdDefaultsFor(char first) {
  if (static_cast<signed char>(first) > '5') return {{{30, 1}, {30, 1}, {30, 1}}};
  if (const char version[] = {first, '\0'}; PlatformGenFromVersion(version) == 2) return {{{30, 120}, {30, 60}, {30, 60}}};
  return {{{30, 129600}, {5, 60}, {5, 60}}};
}

}  // namespace fenra
