#include "platform/win32/win32_kernel.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/win32/handles.h"
#include "platform/win32/windows_api.h"

namespace fenra::win32 {
namespace {

// An event, mutex or thread; the last reference closes the handle.
class Win32Object final : public KernelObject {
 public:
  explicit Win32Object(HANDLE handle) : handle_(handle) {}
  HANDLE get() const { return handle_.get(); }

 private:
  const ScopedHandle handle_;
};

// Wraps a handle that a creating call returned, keeping the call's last
// error (ERROR_ALREADY_EXISTS for a named object that existed).
Handle Wrap(HANDLE handle) {
  if (handle == nullptr) return nullptr;
  DWORD error = ::GetLastError();
  Handle object = std::make_shared<Win32Object>(handle);
  ::SetLastError(error);
  return object;
}

// The native handle, or null (last error ERROR_INVALID_HANDLE) for an
// empty Handle or one of another kernel.
HANDLE Native(const Handle& object) {
  auto* native = dynamic_cast<Win32Object*>(object.get());
  if (native == nullptr) ::SetLastError(ERROR_INVALID_HANDLE);
  return native != nullptr ? native->get() : nullptr;
}

DWORD WINAPI RunThread(void* parameter) {
  std::unique_ptr<Kernel::ThreadProc> proc(static_cast<Kernel::ThreadProc*>(parameter));
  return (*proc)();
}

void DescribeThread(HANDLE thread, const std::string& name) {
  if (name.empty()) return;
  using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto set_description =
      ProcAs<SetThreadDescriptionFn>(GetProcAddress(GetModuleHandleA("kernel32"), "SetThreadDescription"));
  if (set_description == nullptr) return;
  std::wstring wide(name.begin(), name.end());
  set_description(thread, wide.c_str());
}

}  // namespace

uint32_t Win32Kernel::TimeGetTime() { return timeGetTime(); }

LocalTime Win32Kernel::GetLocalTime() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth,  now.wDayOfWeek, now.wDay,
                   now.wHour, now.wMinute, now.wSecond,    now.wMilliseconds};
}

Handle Win32Kernel::CreateEvent(bool manual_reset, bool initial_state, const std::string& name) {
  return Wrap(CreateEventA(nullptr, manual_reset, initial_state, name.empty() ? nullptr : name.c_str()));
}

bool Win32Kernel::SetEvent(const Handle& event) {
  HANDLE handle = Native(event);
  return handle != nullptr && ::SetEvent(handle) != FALSE;
}

bool Win32Kernel::ResetEvent(const Handle& event) {
  HANDLE handle = Native(event);
  return handle != nullptr && ::ResetEvent(handle) != FALSE;
}

bool Win32Kernel::PulseEvent(const Handle& event) {
  HANDLE handle = Native(event);
  return handle != nullptr && ::PulseEvent(handle) != FALSE;
}

Handle Win32Kernel::CreateMutex(bool initial_owner) { return Wrap(CreateMutexA(nullptr, initial_owner, nullptr)); }

bool Win32Kernel::ReleaseMutex(const Handle& mutex) {
  HANDLE handle = Native(mutex);
  return handle != nullptr && ::ReleaseMutex(handle) != FALSE;
}

uint32_t Win32Kernel::WaitForSingleObject(const Handle& object, uint32_t milliseconds) {
  HANDLE handle = Native(object);
  return handle != nullptr ? ::WaitForSingleObject(handle, milliseconds) : WAIT_FAILED;
}

uint32_t Win32Kernel::WaitForMultipleObjects(std::span<const Handle> objects, bool wait_all, uint32_t milliseconds) {
  std::vector<HANDLE> handles;
  handles.reserve(objects.size());
  for (const Handle& object : objects) {
    HANDLE handle = Native(object);
    if (handle == nullptr) return WAIT_FAILED;
    // Windows refuses the same handle twice; Wine would wait on it, so the
    // adapter refuses it itself and the port answers alike everywhere.
    if (std::find(handles.begin(), handles.end(), handle) != handles.end()) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    handles.push_back(handle);
  }
  return ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), wait_all, milliseconds);
}

void Win32Kernel::Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

Handle Win32Kernel::CreateThread(ThreadProc proc, const std::string& name) {
  auto start = std::make_unique<ThreadProc>(std::move(proc));
  HANDLE thread = ::CreateThread(nullptr, 0, RunThread, start.get(), 0, nullptr);
  if (thread == nullptr) return nullptr;
  start.release();  // the thread owns it now
  DWORD error = ::GetLastError();
  DescribeThread(thread, name);
  ::SetLastError(error);
  return Wrap(thread);
}

bool Win32Kernel::GetExitCodeThread(const Handle& thread, uint32_t* exit_code) {
  HANDLE handle = Native(thread);
  DWORD code = 0;
  if (handle == nullptr || !::GetExitCodeThread(handle, &code)) return false;
  *exit_code = code;
  return true;
}

uint32_t Win32Kernel::GetLastError() { return ::GetLastError(); }

void Win32Kernel::SetLastError(uint32_t error) { ::SetLastError(error); }

}  // namespace fenra::win32
