#include "platform/win32/win32_hardware.h"

#include <string>

#include "platform/win32/handles.h"
#include "platform/win32/windows_api.h"

namespace fenra::win32 {
namespace {

using EntryFn = BOOL(WINAPI*)(void* record);

// One LoadLibraryExA reference; FreeLibrary when the last holder (the
// library's owner or one of its entries) lets go.
class Win32Library final : public Library, public std::enable_shared_from_this<Win32Library> {
 public:
  explicit Win32Library(HMODULE module) : module_(module) {}
  ~Win32Library() override { FreeLibrary(module_); }

  LibraryProc GetProcAddress(const char* name) override {
    auto entry = ProcAs<LibraryEntry>(::GetProcAddress(module_, name));
    if (entry == nullptr) return {};
    std::string entry_name = name;
    return [library = shared_from_this(), entry, entry_name](void* record) -> int32_t {
      int32_t moved = 0;
      int32_t result = CallLibraryEntry(entry, record, &moved);
      if (moved == 0) return result;
      std::string complaint = "FENRA: " + entry_name + " left the stack " + std::to_string(moved) +
                              " bytes off: not BOOL WINAPI (void*); its answer is ignored\n";
      OutputDebugStringA(complaint.c_str());
      SetLastError(ERROR_INVALID_FUNCTION);
      return 0;
    };
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

// The directory of the running executable, with its trailing backslash.
std::string ProgramDirectory() {
  std::string path(MAX_PATH + 1, '\0');
  DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return {};
  path.resize(length);
  return path.substr(0, path.find_last_of('\\') + 1);
}

std::string SystemDirectory() {
  char directory[MAX_PATH + 1] = {};
  UINT length = GetSystemDirectoryA(directory, sizeof(directory));
  if (length == 0 || length >= sizeof(directory)) return {};
  return std::string(directory, length) + '\\';
}

}  // namespace

int32_t CallLibraryEntry(LibraryEntry entry, void* record, int32_t* stack_moved) {
  auto function = reinterpret_cast<EntryFn>(entry);
#if defined(__i386__)
  // The stack pointer before the push and after the return, kept in
  // callee-saved registers; the stack is put back whatever the entry did.
  int32_t result = 0;
  uintptr_t before = 0;
  uintptr_t after = 0;
  __asm__ volatile(
      "movl %%esp, %%esi\n\t"
      "pushl %[record]\n\t"
      "call *%[function]\n\t"
      "movl %%esp, %%edi\n\t"
      "movl %%esi, %%esp\n\t"
      : "=a"(result), "=&S"(before), "=&D"(after)
      : [function] "r"(function), [record] "r"(record)
      : "ecx", "edx", "memory", "cc");
  *stack_moved = static_cast<int32_t>(after - before);
  return result;
#else
  *stack_moved = 0;
  return function(record);
#endif
}

LibraryPtr Win32Hardware::LoadLibrary(const std::string& name) {
  HMODULE module =
      LoadLibraryExA(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
  // A system without the search flags (Windows 7 and Server 2008 R2 before
  // their update KB2533623) refuses them: the same two places by full path.
  if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
    const std::string file = name + ".dll";
    for (const std::string& directory : {SystemDirectory(), ProgramDirectory()}) {
      if (directory.empty()) continue;
      module = LoadLibraryExA((directory + file).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
      if (module != nullptr) break;
    }
    if (module == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
  }
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
