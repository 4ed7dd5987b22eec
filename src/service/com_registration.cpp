#include "service/com_registration.h"

#include <string>

namespace fenra {
namespace {

constexpr const char* kServerName = "FENRA";
constexpr const char* kExeKey = "AppID\\FENRA.EXE";
// The library's locale (0x0409) and platform: the type library of the
// 64-bit Windows build is a win64 one (SYS_WIN64), registered so.
constexpr const char* kLocaleKey = "\\409";
#if defined(_WIN64)
constexpr const char* kPlatformKey = "\\win64";
#else
constexpr const char* kPlatformKey = "\\win32";
#endif
// The help string of the library: "FENRA 1.0 type library", its second
// half in half-width katakana.
constexpr const wchar_t* kHelpString = L"FENRA 1.0 \uFF80\uFF72\uFF8C\uFF9F \uFF97\uFF72\uFF8C\uFF9E\uFF97\uFF98";

// Creates `path` under HKEY_CLASSES_ROOT and sets one REG_SZ value
// (terminator included); a Win32 error.
int32_t SetText(Registry& registry, const std::string& path, const char* name, const std::string& text) {
  RegKeyPtr key;
  int32_t error = registry.CreateKey(Hive::kClassesRoot, path, win::kKeyRead | win::kKeyWrite, &key, nullptr);
  if (error != 0) return error;
  return registry.SetValue(*key, name, win::kRegSz, reinterpret_cast<const uint8_t*>(text.c_str()),
                           static_cast<uint32_t>(text.size() + 1));
}

std::string TypeLibKey() { return std::string("TypeLib\\") + kLibId; }
std::string TypeLibVersionKey() { return TypeLibKey() + "\\1.0"; }

}  // namespace

std::string AppIdKey() { return std::string(kAppIdRoot) + "\\" + kAppId; }

int32_t UpdateRegistryFromScript(Registry& registry, bool do_register) {
  if (!do_register) {
    // AppID is NoRemove; a key that is already gone is no failure.
    registry.DeleteKey(Hive::kClassesRoot, AppIdKey());
    registry.DeleteKey(Hive::kClassesRoot, kExeKey);
    return win::kSOk;
  }
  int32_t error = SetText(registry, AppIdKey(), nullptr, kServerName);
  if (error == 0) error = SetText(registry, kExeKey, "AppID", kAppId);
  return win::HresultFromWin32(static_cast<uint32_t>(error));
}

int32_t RegisterTypeLibrary(Platform& platform) {
  Registry& registry = platform.registry;
  std::string path = platform.version_info.GetModuleFileName();
  // The directory keeps its final backslash.
  std::string directory = path.substr(0, path.find_last_of("\\/:") + 1);
  const std::string version = TypeLibVersionKey();
  bool written = SetText(registry, version, nullptr, platform.system.ToAnsi(kHelpString)) == 0 &&
                 SetText(registry, version + kLocaleKey + kPlatformKey, nullptr, path) == 0 &&
                 SetText(registry, version + "\\FLAGS", nullptr, "0") == 0 &&
                 SetText(registry, version + "\\HELPDIR", nullptr, directory) == 0;
  return written ? win::kSOk : win::kTypeERegistryAccess;
}

void UnregisterTypeLibrary(Platform& platform) {
  Registry& registry = platform.registry;
  const std::string version = TypeLibVersionKey();
  registry.DeleteKey(Hive::kClassesRoot, version + kLocaleKey + kPlatformKey);
  // A locale key that keeps another platform keeps the library's keys too.
  if (registry.DeleteKey(Hive::kClassesRoot, version + kLocaleKey) != 0) {
    RegKeyPtr locale;
    if (registry.OpenKey(Hive::kClassesRoot, version + kLocaleKey, win::kKeyRead, &locale) == 0) return;
  }
  registry.DeleteKey(Hive::kClassesRoot, version + "\\FLAGS");
  registry.DeleteKey(Hive::kClassesRoot, version + "\\HELPDIR");
  registry.DeleteKey(Hive::kClassesRoot, version);
  registry.DeleteKey(Hive::kClassesRoot, TypeLibKey());
}

}  // namespace fenra
