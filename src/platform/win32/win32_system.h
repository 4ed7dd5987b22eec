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
  // The text also goes to OutputDebugStringA and to the console (standard
  // error, else the console of the parent process, which a GUI program
  // started from a command prompt attaches to for the write); the box only
  // where someone can see it (BoxCanBeSeen), since nobody could ever
  // dismiss one elsewhere.
  void MessageBox(const std::string& text, const std::string& caption) override;
};

// IsWow64Process for this process, looked up in kernel32: false where the
// system has no such entry or the call fails.
bool RunningUnderWow64();

// Whether the process's window station is visible (WinSta0 of an
// interactive session). True when that cannot be told, as a box was always
// shown before.
bool VisibleWindowStation();

// Whether someone can see a box of this process: its window station is
// visible and it does not run in session 0 of Windows Vista or later, the
// services' session, whose WinSta0 calls itself visible although no one
// sees it (an installer started with PsExec -s -i 0, a deployment agent).
bool BoxCanBeSeen();

}  // namespace fenra::win32
