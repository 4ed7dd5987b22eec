#include "platform/win32/win32_files.h"

#include <string>

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

// Whether `owner` is the account this process runs as.
bool IsProcessUser(PSID owner) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const ScopedHandle owned_token(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return false;
  return EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid) != FALSE;
}

// A file of one name, no reparse point, owned by LocalSystem, the
// Administrators group or this process's account.
bool Trusted(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file, &info)) return false;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks != 1) return false;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS)
    return false;
  bool trusted = owner != nullptr && (IsWellKnownSid(owner, WinLocalSystemSid) ||
                                      IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsProcessUser(owner));
  LocalFree(descriptor);
  return trusted;
}

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

FilePtr Win32Files::CreateTrustedFile(const std::string& path, uint32_t access, uint32_t share,
                                      uint32_t disposition) {
  // A disposition that cuts the file would cut it before it is looked at (a
  // planted link's target with it): it is opened as it is, and cut after.
  const bool cut = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  DWORD open_as = disposition == CREATE_ALWAYS ? OPEN_ALWAYS : disposition == TRUNCATE_EXISTING ? OPEN_EXISTING
                                                                                               : disposition;
  HANDLE handle = CreateFileA(path.c_str(), access | READ_CONTROL, share, nullptr, open_as,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  DWORD error = GetLastError();
  FilePtr file = std::make_unique<Win32File>(handle);
  if (!Trusted(handle)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  LARGE_INTEGER start = {};
  if (cut && !(SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) && SetEndOfFile(handle))) return nullptr;
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
