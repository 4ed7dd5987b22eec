#include "platform/win32/win32_system.h"

#include "platform/win32/handles.h"
#include "platform/win32/windows_api.h"

namespace fenra::win32 {

bool Win32System::GetVersion(OsVersion* version) {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!GetVersionExA(&info)) return false;
  version->major = info.dwMajorVersion;
  version->minor = info.dwMinorVersion;
  version->build = info.dwBuildNumber;
  version->platform_id = info.dwPlatformId;
  version->csd_version = info.szCSDVersion;
  return true;
}

std::string Win32System::ExpandEnvironmentStrings(const std::string& text) {
  std::string expanded(MAX_PATH, '\0');
  for (;;) {
    // The size asked for counts the terminator; so does the answer.
    DWORD needed = ExpandEnvironmentStringsA(text.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
    if (needed == 0) return text;
    if (needed <= expanded.size()) {
      // The ANSI answer may count more than it wrote (double-byte code
      // pages); the terminator tells.
      expanded.resize(strlen(expanded.c_str()));
      return expanded;
    }
    expanded.resize(needed);
  }
}

std::string Win32System::GetCurrentDirectory() {
  std::string directory(MAX_PATH, '\0');
  for (;;) {
    // Without room the answer is the size needed, terminator included;
    // with room it is the length, without it.
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(directory.size()), directory.data());
    if (length == 0) return {};
    if (length < directory.size()) {
      directory.resize(length);
      return directory;
    }
    directory.resize(length);
  }
}

bool Win32System::SetCurrentDirectory(const std::string& path) { return SetCurrentDirectoryA(path.c_str()) != FALSE; }

std::string Win32System::GetCommandLine() { return GetCommandLineA(); }

const char* Win32System::CharNext(const char* text) { return CharNextA(text); }

std::string Win32System::ToAnsi(std::wstring_view text) {
  if (text.empty()) return {};
  int length = static_cast<int>(text.size());
  int size = WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), length, ansi.data(), size, nullptr, nullptr);
  return ansi;
}

bool RunningUnderWow64() {
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
  auto is_wow64 = ProcAs<IsWow64ProcessFn>(GetProcAddress(GetModuleHandleA("kernel32"), "IsWow64Process"));
  BOOL wow64 = FALSE;
  return is_wow64 != nullptr && is_wow64(GetCurrentProcess(), &wow64) && wow64;
}

bool VisibleWindowStation() {
  HWINSTA station = GetProcessWindowStation();
  USEROBJECTFLAGS flags = {};
  if (station == nullptr || !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof(flags), nullptr))
    return true;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

bool Win32System::IsWow64Process() { return RunningUnderWow64(); }

void Win32System::MessageBox(const std::string& text, const std::string& caption) {
  if (VisibleWindowStation()) {
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK);
    return;
  }
  const std::string line = caption + ": " + text + "\r\n";
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (error != nullptr && error != INVALID_HANDLE_VALUE)
    WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace fenra::win32
