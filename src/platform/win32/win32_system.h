#pragma once
// The System port: GetVersionExA, environment expansion, the current
// directory, the command line, ANSI text, WOW64 detection and message
// boxes.

#include "platform/system.h"

namespace fenra::win32 {

class Win32System final : public System {
 public:
  bool GetVersion(OsVersion* version) override;
  std::string ExpandEnvironmentStrings(const std::string& text) override;
  std::string GetCurrentDirectory() override;
  bool SetCurrentDirectory(const std::string& path) override;
  std::string GetCommandLine() override;
  const char* CharNext(const char* text) override;
  std::string ToAnsi(std::wstring_view text) override;
  // IsWow64Process, looked up in kernel32 at every call: false where the
  // system has no such entry.
  bool IsWow64Process() override;
  // The box for an interactive user; a process without a visible window
  // station (a service or an installer running as SYSTEM in session 0)
  // writes "caption: text" and a line end to standard error instead, since
  // nobody could ever dismiss a box there.
  void MessageBox(const std::string& text, const std::string& caption) override;
};

// IsWow64Process for this process, looked up in kernel32: false where the
// system has no such entry or the call fails.
bool RunningUnderWow64();

// Whether the process's window station is visible (WinSta0 of an
// interactive session). True when that cannot be told, as a box was always
// shown before.
bool VisibleWindowStation();

}  // namespace fenra::win32
