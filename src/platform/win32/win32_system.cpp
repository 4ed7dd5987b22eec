#include "platform/win32/win32_system.h"

#include "platform/win32/handles.h"
#include "platform/win32/windows_api.h"
#include "support/wide_text.h"

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

const char* Win32System::CharNext(const char* text) {
  // CharNextA steps the double-byte characters of code pages such as 932,
  // but through UTF-8 (the ANSI code page of a process that asks for it, or
  // of a system set so, from Windows 10 1903) one byte at a time.
  if (GetACP() == CP_UTF8) return NextUtf8Character(text);
  return CharNextA(text);
}

std::string Win32System::ToAnsi(std::wstring_view text) {
  if (text.empty()) return {};
  int length = static_cast<int>(text.size());
  // Best fit would turn a character the code page lacks into a look-alike
  // ("\uFF21" into "A", "\u2215" into "/"); without it the default character
  // ('?') stands in. UTF-8 has every character and refuses the flag.
  DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  int size = WideCharToMultiByte(CP_ACP, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, flags, text.data(), length, ansi.data(), size, nullptr, nullptr);
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

bool BoxCanBeSeen() {
  if (!VisibleWindowStation()) return false;
  DWORD session = 0;
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  return !(ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0 && GetVersionExA(&version) &&
           version.dwMajorVersion >= 6);
}

bool Win32System::IsWow64Process() { return RunningUnderWow64(); }

void Win32System::MessageBox(const std::string& text, const std::string& caption) {
  const std::string line = caption + ": " + text + "\r\n";
  OutputDebugStringA(line.c_str());
  DWORD written = 0;
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error != nullptr && error != INVALID_HANDLE_VALUE) {
    WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  } else if (AttachConsole(ATTACH_PARENT_PROCESS)) {
    // A GUI program started from a command prompt has no standard handles;
    // the prompt's console takes the text.
    HANDLE console = CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (console != INVALID_HANDLE_VALUE) {
      WriteFile(console, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
      CloseHandle(console);
    }
    FreeConsole();
  }
  if (BoxCanBeSeen()) MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

}  // namespace fenra::win32
