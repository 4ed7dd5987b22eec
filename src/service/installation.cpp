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
  // An earlier installation may name another file. One that cannot be
  // removed is left as it is, and the registration fails: replacing it with
  // nothing would leave no service once its old record goes.
  if (uint32_t error = Uninstall(); error != 0) {
    platform_.com.CoUninitialize();
    return win::HresultFromWin32(error);
  }
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
  uint32_t install_error = 0;
  if (as_service) {
    SetText(registry, *app_id, "LocalService", "FENRA");
    SetText(registry, *app_id, "ServiceParameters", "-Service");
    install_error = Install();
  }
  hr = register_type_library ? RegisterTypeLibrary(platform_) : win::kSOk;
  platform_.com.CoUninitialize();
  return hr < 0 || install_error == 0 ? hr : win::HresultFromWin32(install_error);
}

int32_t CServiceModule::UnregisterServer() {
  int32_t hr = platform_.com.CoInitializeEx(win::kCoinitApartmentThreaded);
  if (hr < 0) return hr;
  UpdateRegistryFromScript(platform_.registry, false);
  uint32_t error = Uninstall();
  UnregisterTypeLibrary(platform_);
  platform_.com.CoUninitialize();
  return win::HresultFromWin32(error);
}

bool CServiceModule::IsInstalled() {
  ServiceControl& manager = platform_.service_control;
  ScHandlePtr scm = manager.OpenSCManager(win::kScManagerAllAccess);
  if (!scm) return false;
  return manager.OpenService(*scm, m_szServiceName, win::kServiceQueryConfig) != nullptr;
}

uint32_t CServiceModule::Install() {
  if (IsInstalled()) return 0;
  ServiceControl& manager = platform_.service_control;
  ScHandlePtr scm = manager.OpenSCManager(win::kScManagerAllAccess);
  if (!scm) return Refuse("Could not open ServiceControlManager");
  ServiceConfig config;
  config.service_type = win::kServiceWin32OwnProcess;
  config.start_type = win::kServiceAutoStart;
  config.error_control = win::kServiceErrorNormal;
  config.binary_path_name = CurrentDirectory(platform_.system) + "\\FENRA.exe";
  config.dependencies = {"RPCSS"};
  config.display_name = m_szServiceName;
  ScHandlePtr service = manager.CreateService(*scm, m_szServiceName, win::kServiceAllAccess, config);
  if (!service) return Refuse("Could not create the service");
  // A 32-bit service on 64-bit Windows names its message file through
  // %SystemRoot%, which the event viewer expands in its own view.
  std::string message_file = IsWow64(platform_) ? "%SystemRoot%\\SysWOW64" : CurrentDirectory(platform_.system);
  message_file = (message_file + kMessageFileName).substr(0, kMaxPath - 1);
  InstallEventSource(platform_, message_file.c_str(), kSourceFtMarvix);
  InstallEventSource(platform_, message_file.c_str(), kSourceZuft);
  return 0;
}

uint32_t CServiceModule::Uninstall() {
  if (!IsInstalled()) return 0;
  ServiceControl& manager = platform_.service_control;
  Kernel& kernel = platform_.kernel;
  ScHandlePtr scm = manager.OpenSCManager(win::kScManagerAllAccess);
  if (!scm) return Refuse("Could not open ServiceControlManager");
  ScHandlePtr service =
      manager.OpenService(*scm, m_szServiceName, win::kServiceStop | win::kDelete | win::kServiceQueryStatus);
  if (!service) {
    if (kernel.GetLastError() == win::kErrorServiceDoesNotExist) return 0;  // gone meanwhile
    return Refuse("Could not open the service");
  }
  // A service that is starting or stopping refuses the stop (1061), a
  // stopped one has nothing to stop (1062): the wait below sees to both.
  ServiceStatus status;
  manager.ControlService(*service, win::kServiceControlStop, &status);
  // Marked by an earlier removal, it goes as this one would have it go.
  if (!manager.DeleteService(*service) && kernel.GetLastError() != win::kErrorServiceMarkedForDelete)
    return Refuse("Could not delete the service");

  // Windows removes a deleted service once it has stopped and every handle
  // to it is closed; until then its name stays taken.
  const uint32_t start = kernel.TimeGetTime();
  if (!AwaitStop(*service, start)) {
    return Refuse(
        "The service did not stop in time; it is marked for deletion and goes once it has stopped. Wait until "
        "sc query FENRA no longer finds it, then run the installation again.",
        win::kErrorServiceRequestTimeout);
  }
  // Only now: records the stopping service still wrote were written under
  // their sources, whose message file gives them their texts.
  platform_.registry.DeleteKey(Hive::kLocalMachine, EventSourceKey(kSourceFtMarvix));
  platform_.registry.DeleteKey(Hive::kLocalMachine, EventSourceKey(kSourceZuft));
  service.reset();
  if (!AwaitRemoval(*scm, start)) {
    return Refuse(
        "The service has stopped and is marked for deletion, but another program still has it open. Close the "
        "Services console (services.msc) and any other program that shows or manages services, then run the "
        "installation again.",
        win::kErrorServiceMarkedForDelete);
  }
  return 0;
}

bool CServiceModule::AwaitStop(ScHandle& service, uint32_t start) {
  ServiceControl& manager = platform_.service_control;
  Kernel& kernel = platform_.kernel;
  for (;;) {
    ServiceStatus status;
    if (manager.QueryServiceStatus(service, &status)) {
      if (status.current_state == win::kServiceStopped) return true;
      // One that was starting when asked has refused the stop; now it takes it.
      if (status.current_state == win::kServiceRunning)
        manager.ControlService(service, win::kServiceControlStop, &status);
    }
    if (kernel.TimeGetTime() - start >= kRemovalWaitMs) return false;
    kernel.Sleep(kRemovalPollMs);
  }
}

bool CServiceModule::AwaitRemoval(ScHandle& scm, uint32_t start) {
  ServiceControl& manager = platform_.service_control;
  Kernel& kernel = platform_.kernel;
  for (;;) {
    if (!manager.OpenService(scm, m_szServiceName, win::kServiceQueryStatus) &&
        kernel.GetLastError() == win::kErrorServiceDoesNotExist)
      return true;
    if (kernel.TimeGetTime() - start >= kRemovalWaitMs) return false;
    kernel.Sleep(kRemovalPollMs);
  }
}

uint32_t CServiceModule::Refuse(const char* text, uint32_t error) {
  if (error == 0) error = platform_.kernel.GetLastError();
  platform_.system.MessageBox(text, m_szServiceName);
  return error != 0 ? error : win::kErrorInvalidFunction;
}

}  // namespace fenra
