// Registration and installation of the service module: the AppID entries,
// the service, the event sources, the type library.

#include "service/installation.h"

#include <cstdio>
#include <cstring>

#include "diagnostics/event_ids.h"
#include "service/com_registration.h"
#include "service/service_module.h"

namespace fenra {
namespace {

constexpr size_t kMaxPath = 260;
constexpr size_t kMaxMessageFile = 255;
constexpr const char* kEventSourceKeyFormat = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\%s";
constexpr const char* kMessageFileName = "\\FENRAAPI.dll";
constexpr uint32_t kTypesSupported = 7;  // error, warning, information
// How often Uninstall looks whether a stopping service is gone.
constexpr uint32_t kRemovalPollMs = 500;

std::string EventSourceKey(const char* source_name) {
  char name[256] = {};
  snprintf(name, sizeof(name), kEventSourceKeyFormat, source_name);
  return name;
}

// The current directory, as GetCurrentDirectoryA fills a buffer of
// MAX_PATH characters: a longer one does not fit and gives nothing.
std::string CurrentDirectory(System& system) {
  std::string directory = system.GetCurrentDirectory();
  return directory.size() < kMaxPath ? directory : std::string();
}

int32_t SetText(Registry& registry, RegKey& key, const char* name, const char* text) {
  return registry.SetValue(key, name, win::kRegSz, reinterpret_cast<const uint8_t*>(text),
                           static_cast<uint32_t>(strlen(text) + 1));
}

}  // namespace

bool IsWow64(Platform& platform) { return platform.system.IsWow64Process(); }

void InstallEventSource(Platform& platform, const char* message_file, const char* source_name) {
  Registry& registry = platform.registry;
  std::string key_name = EventSourceKey(source_name);
  RegKeyPtr key;
  if (registry.OpenKey(Hive::kLocalMachine, key_name, win::kKeyRead, &key) == 0) return;
  if (registry.CreateKey(Hive::kLocalMachine, key_name, win::kKeyAllAccess, &key, nullptr) != 0) return;
  std::string path(message_file, strnlen(message_file, kMaxMessageFile));
  if (registry.SetValue(*key, "EventMessageFile", win::kRegExpandSz, reinterpret_cast<const uint8_t*>(path.c_str()),
                        static_cast<uint32_t>(path.size() + 1)) != 0)
    return;
  const uint8_t types[4] = {kTypesSupported, 0, 0, 0};
  registry.SetValue(*key, "TypesSupported", win::kRegDword, types, sizeof(types));
}

int32_t CServiceModule::RegisterServer(bool register_type_library, bool as_service) {
  int32_t hr = platform_.com.CoInitializeEx(win::kCoinitApartmentThreaded);
  if (hr < 0) return hr;
  // An earlier installation may name another file.
  Uninstall();
  UpdateRegistryFromScript(platform_.registry, true);

  Registry& registry = platform_.registry;
  RegKeyPtr app_id_root, app_id;
  int32_t error = registry.OpenKey(Hive::kClassesRoot, kAppIdRoot, win::kKeyWrite, &app_id_root);
  if (error == 0) error = registry.OpenKey(Hive::kClassesRoot, AppIdKey(), win::kKeyWrite, &app_id);
  if (error != 0) {
    platform_.com.CoUninitialize();
    return error;
  }
  registry.DeleteValue(*app_id, "LocalService");
  if (as_service) {
    SetText(registry, *app_id, "LocalService", "FENRA");
    SetText(registry, *app_id, "ServiceParameters", "-Service");
    Install();
  }
  hr = register_type_library ? RegisterTypeLibrary(platform_) : win::kSOk;
  platform_.com.CoUninitialize();
  return hr;
}

int32_t CServiceModule::UnregisterServer() {
  int32_t hr = platform_.com.CoInitializeEx(win::kCoinitApartmentThreaded);
  if (hr < 0) return hr;
  UpdateRegistryFromScript(platform_.registry, false);
  Uninstall();
  UnregisterTypeLibrary(platform_);
  platform_.com.CoUninitialize();
  return win::kSOk;
}

bool CServiceModule::IsInstalled() {
  ServiceControl& manager = platform_.service_control;
  ScHandlePtr scm = manager.OpenSCManager(win::kScManagerAllAccess);
  if (!scm) return false;
  return manager.OpenService(*scm, m_szServiceName, win::kServiceQueryConfig) != nullptr;
}

bool CServiceModule::Install() {
  if (IsInstalled()) return true;
  ServiceControl& manager = platform_.service_control;
  ScHandlePtr scm = manager.OpenSCManager(win::kScManagerAllAccess);
  if (!scm) {
    platform_.system.MessageBox("Could not open ServiceControlManager", m_szServiceName);
    return false;
  }
  ServiceConfig config;
  config.service_type = win::kServiceWin32OwnProcess;
  config.start_type = win::kServiceAutoStart;
  config.error_control = win::kServiceErrorNormal;
  config.binary_path_name = CurrentDirectory(platform_.system) + "\\FENRA.exe";
  config.dependencies = {"RPCSS"};
  config.display_name = m_szServiceName;
  ScHandlePtr service = manager.CreateService(*scm, m_szServiceName, win::kServiceAllAccess, config);
  if (!service) {
    scm.reset();
    platform_.system.MessageBox("Could not create the service", m_szServiceName);
    return false;
  }
  // A 32-bit service on 64-bit Windows names its message file through
  // %SystemRoot%, which the event viewer expands in its own view.
  std::string message_file = IsWow64(platform_) ? "%SystemRoot%\\SysWOW64" : CurrentDirectory(platform_.system);
  message_file = (message_file + kMessageFileName).substr(0, kMaxPath - 1);
  InstallEventSource(platform_, message_file.c_str(), kSourceFtMarvix);
  InstallEventSource(platform_, message_file.c_str(), kSourceZuft);
  service.reset();
  scm.reset();
  return true;
}

bool CServiceModule::Uninstall() {
  if (!IsInstalled()) return true;
  platform_.registry.DeleteKey(Hive::kLocalMachine, EventSourceKey(kSourceFtMarvix));
  platform_.registry.DeleteKey(Hive::kLocalMachine, EventSourceKey(kSourceZuft));

  ServiceControl& manager = platform_.service_control;
  ScHandlePtr scm = manager.OpenSCManager(win::kScManagerAllAccess);
  if (!scm) {
    platform_.system.MessageBox("Could not open ServiceControlManager", m_szServiceName);
    return false;
  }
  ScHandlePtr service = manager.OpenService(*scm, m_szServiceName, win::kServiceStop | win::kDelete);
  if (!service) {
    scm.reset();
    platform_.system.MessageBox("Could not open the service", m_szServiceName);
    return false;
  }
  ServiceStatus status;
  bool stopping = manager.ControlService(*service, win::kServiceControlStop, &status);
  bool deleted = manager.DeleteService(*service);
  service.reset();
  scm.reset();
  if (!deleted) {
    platform_.system.MessageBox("Could not delete the service", m_szServiceName);
    return false;
  }
  // A running service is removed only once it has stopped; until then the
  // name stays taken and an installation that follows would find the
  // service still there and create nothing.
  for (uint32_t waited = 0; stopping && waited < kRemovalWaitMs && IsInstalled(); waited += kRemovalPollMs)
    platform_.kernel.Sleep(kRemovalPollMs);
  return true;
}

}  // namespace fenra
