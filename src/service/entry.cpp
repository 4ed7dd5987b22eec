#include "service/entry.h"

#include <string>

#include "service/com_registration.h"
#include "service/installation.h"

namespace fenra {
namespace {

constexpr uint32_t kMaxLocalService = 260;

// lstrcmpiA for the command words, which are ASCII.
bool EqualsIgnoreCase(const char* a, const char* b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (; *a && *b; ++a, ++b)
    if (lower(*a) != lower(*b)) return false;
  return *a == *b;
}

}  // namespace

const char* FindCommandToken(System& system, const char* text, const char* separators) {
  for (const char* p = text; p != nullptr && *p != '\0'; p = system.CharNext(p)) {
    for (const char* separator = separators; *separator != '\0'; separator = system.CharNext(separator))
      if (*p == *separator) return system.CharNext(p);
  }
  return nullptr;
}

int ProcessEntry(CServiceModule& module, Platform& platform) {
  System& system = platform.system;
  // Installation and the message-file path depend on this directory.
  const char* system_dir = IsWow64(platform) ? "%SystemRoot%\\SysWOW64" : "%SystemRoot%\\system32";
  system.SetCurrentDirectory(system.ExpandEnvironmentStrings(system_dir));

  const std::string command_line = system.GetCommandLine();
  module.Init();

  // A word counts only when it ends the command line.
  constexpr const char* kSeparators = "-/";
  for (const char* token = FindCommandToken(system, command_line.c_str(), kSeparators); token != nullptr;
       token = FindCommandToken(system, token, kSeparators)) {
    if (EqualsIgnoreCase(token, "UnregServer")) return module.UnregisterServer();
    if (EqualsIgnoreCase(token, "RegServer")) return module.RegisterServer(true, false);
    if (EqualsIgnoreCase(token, "Service")) return module.RegisterServer(true, true);
  }

  // Registration decides whether this run is a service.
  Registry& registry = platform.registry;
  RegKeyPtr app_id_root, app_id;
  if (int32_t error = registry.OpenKey(Hive::kClassesRoot, kAppIdRoot, win::kKeyRead, &app_id_root); error != 0)
    return error;
  if (int32_t error = registry.OpenKey(Hive::kClassesRoot, AppIdKey(), win::kKeyRead, &app_id); error != 0)
    return error;
  uint8_t local_service[kMaxLocalService];
  uint32_t size = sizeof(local_service);
  // The value's existence decides, whatever it holds.
  int32_t query = registry.QueryValue(*app_id, "LocalService", nullptr, local_service, &size);
  module.set_service(query == 0 || query == static_cast<int32_t>(win::kErrorMoreData));
  app_id.reset();
  app_id_root.reset();

  module.Start();
  return static_cast<int>(module.status().win32_exit_code);
}

}  // namespace fenra
