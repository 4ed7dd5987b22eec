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
  void MessageBox(const std::string& text, const std::string& caption) override;
};

}  // namespace fenra::win32
