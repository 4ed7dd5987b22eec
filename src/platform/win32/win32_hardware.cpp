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

// A folder with its final backslash; empty stays empty.
std::string WithBackslash(std::string folder) {
  if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') folder += '\\';
  return folder;
}

std::wstring WideFromAnsi(const std::string& text) {
  int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
  wide.resize(static_cast<size_t>(length - 1));
  return wide;
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

LibraryPtr Win32Hardware::LoadLibrary(const std::string& name, const std::string& vendor_directory) {
  using AddDllDirectoryFn = DLL_DIRECTORY_COOKIE(WINAPI*)(PCWSTR);
  using RemoveDllDirectoryFn = BOOL(WINAPI*)(DLL_DIRECTORY_COOKIE);
  HMODULE kernel32 = GetModuleHandleA("kernel32");
  auto add_directory = ProcAs<AddDllDirectoryFn>(GetProcAddress(kernel32, "AddDllDirectory"));
  auto remove_directory = ProcAs<RemoveDllDirectoryFn>(GetProcAddress(kernel32, "RemoveDllDirectory"));
  HMODULE module = nullptr;
  if (add_directory != nullptr && remove_directory != nullptr) {
    DWORD flags = LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR;
    // The process's list of user folders has the vendor's for this load
    // only (its users load under the library's lock, one at a time); one
    // that is not an absolute path, or not there, is left out.
    DLL_DIRECTORY_COOKIE cookie =
        vendor_directory.empty() ? nullptr : add_directory(WideFromAnsi(vendor_directory).c_str());
    if (cookie != nullptr) flags |= LOAD_LIBRARY_SEARCH_USER_DIRS;
    module = LoadLibraryExA(name.c_str(), nullptr, flags);
    DWORD error = GetLastError();
    if (cookie != nullptr) remove_directory(cookie);
    SetLastError(error);
  } else {
    // Each place by full path; the library's dependencies are looked for
    // beside it first. A library that is there but cannot be loaded (193:
    // another bitness) says more than one that is not there (126).
    const std::string file = name + ".dll";
    DWORD error = ERROR_MOD_NOT_FOUND;
    for (const std::string& directory : {SystemDirectory(), ProgramDirectory(), WithBackslash(vendor_directory)}) {
      if (directory.empty()) continue;
      module = LoadLibraryExA((directory + file).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
      if (module != nullptr) break;
      DWORD failure = GetLastError();
      if (error == ERROR_MOD_NOT_FOUND && failure != ERROR_FILE_NOT_FOUND && failure != ERROR_PATH_NOT_FOUND)
        error = failure;
    }
    if (module == nullptr) SetLastError(error);
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
