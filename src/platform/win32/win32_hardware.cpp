#include "platform/win32/win32_hardware.h"

#include "platform/win32/handles.h"
#include "platform/win32/windows_api.h"

namespace fenra::win32 {
namespace {

using EntryFn = BOOL(WINAPI*)(void* record);

// One LoadLibraryA reference; FreeLibrary when the last holder (the
// library's owner or one of its entries) lets go.
class Win32Library final : public Library, public std::enable_shared_from_this<Win32Library> {
 public:
  explicit Win32Library(HMODULE module) : module_(module) {}
  ~Win32Library() override { FreeLibrary(module_); }

  LibraryProc GetProcAddress(const char* name) override {
    auto entry = ProcAs<EntryFn>(::GetProcAddress(module_, name));
    if (entry == nullptr) return {};
    return [library = shared_from_this(), entry](void* record) -> int32_t { return entry(record); };
  }

 private:
  const HMODULE module_;
};

class Win32Device final : public Device {
 public:
  explicit Win32Device(HANDLE handle) : handle_(handle) {}
  HANDLE get() const { return handle_.get(); }

 private:
  const ScopedHandle handle_;
};

}  // namespace

LibraryPtr Win32Hardware::LoadLibrary(const std::string& name) {
  HMODULE module = LoadLibraryA(name.c_str());
  if (module == nullptr) return nullptr;
  return std::make_shared<Win32Library>(module);
}

DevicePtr Win32Hardware::OpenDevice(const std::string& path) {
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32Device>(handle);
}

bool Win32Hardware::DeviceIoControl(Device& device, uint32_t control_code, const void* input, uint32_t input_size,
                                    void* output, uint32_t output_size, uint32_t* returned) {
  DWORD count = 0;
  // DeviceIoControl does not write through the input pointer.
  BOOL ok = ::DeviceIoControl(static_cast<Win32Device&>(device).get(), control_code, const_cast<void*>(input),
                              input_size, output, output_size, &count, nullptr);
  if (returned != nullptr) *returned = count;
  return ok != FALSE;
}

}  // namespace fenra::win32
