#include "platform/win32/win32_files.h"

#include "platform/win32/handles.h"
#include "platform/win32/windows_api.h"

namespace fenra::win32 {
namespace {

class Win32File final : public File {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  HANDLE get() const { return handle_.get(); }

 private:
  const ScopedHandle handle_;
};

// Every file the port hands out comes from here.
HANDLE Native(File& file) { return static_cast<Win32File&>(file).get(); }

}  // namespace

FilePtr Win32Files::CreateFile(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) {
  HANDLE handle = CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  // Keeps ERROR_ALREADY_EXISTS of an OPEN_ALWAYS or CREATE_ALWAYS open.
  DWORD error = GetLastError();
  FilePtr file = std::make_unique<Win32File>(handle);
  SetLastError(error);
  return file;
}

bool Win32Files::GetFileSize(File& file, uint64_t* size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(Native(file), &value)) return false;
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool Win32Files::SetFilePointer(File& file, int64_t distance, uint32_t method, uint64_t* position) {
  LARGE_INTEGER move;
  move.QuadPart = distance;
  LARGE_INTEGER now;
  if (!SetFilePointerEx(Native(file), move, &now, method)) return false;
  if (position != nullptr) *position = static_cast<uint64_t>(now.QuadPart);
  return true;
}

bool Win32Files::WriteFile(File& file, const void* data, uint32_t size, uint32_t* written) {
  DWORD count = 0;
  BOOL ok = ::WriteFile(Native(file), data, size, &count, nullptr);
  if (written != nullptr) *written = count;
  return ok != FALSE;
}

bool Win32Files::ReadFile(File& file, void* data, uint32_t size, uint32_t* read) {
  DWORD count = 0;
  BOOL ok = ::ReadFile(Native(file), data, size, &count, nullptr);
  if (read != nullptr) *read = count;
  return ok != FALSE;
}

uint32_t Win32Files::GetPrivateProfileInt(const std::string& section, const std::string& key, int32_t default_value,
                                          const std::string& path) {
  return GetPrivateProfileIntA(section.c_str(), key.c_str(), default_value, path.c_str());
}

}  // namespace fenra::win32
