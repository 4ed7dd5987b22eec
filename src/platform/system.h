#pragma once
// System facts: OS version, environment, current directory, the command
// line, ANSI text, message boxes.

#include <cstdint>
#include <string>
#include <string_view>

namespace fenra {

// The fields of OSVERSIONINFOA that the system reads.
struct OsVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
  uint32_t platform_id = 0;
  std::string csd_version;
};

// Thread-safe.
class System {
 public:
  virtual ~System() = default;

  virtual bool GetVersion(OsVersion* version) = 0;
  // ExpandEnvironmentStringsA: %NAME% references of defined variables are
  // replaced, unknown ones are left as they stand.
  virtual std::string ExpandEnvironmentStrings(const std::string& text) = 0;
  virtual std::string GetCurrentDirectory() = 0;
  virtual bool SetCurrentDirectory(const std::string& path) = 0;
  // GetCommandLineA: the whole command line of this process, the
  // executable's path included.
  virtual std::string GetCommandLine() = 0;
  // WideCharToMultiByte into the ANSI code page without best-fit mapping: a
  // character the code page lacks becomes '?' (the code page's default
  // character), never a look-alike ("\uFF21" is "?", not "A"). Under UTF-8
  // every character has its bytes (an unpaired surrogate gives U+FFFD).
  virtual std::string ToAnsi(std::wstring_view text) = 0;
  // IsWow64Process for the current process, looked up in kernel32 at every
  // call: false when the system has no such entry or the call fails.
  virtual bool IsWow64Process() = 0;
  // MessageBoxA with no owner and the OK button only, for the failures of
  // an installation. "caption: text" and a line end also go where an
  // administrator finds them when no one sees a box: the debugger output,
  // and the console (standard error, else the console of the command
  // prompt that started the program). Where no one can see a box (a window
  // station that is not visible, or session 0 on Windows Vista and later,
  // whose window station may call itself visible), none is shown and the
  // call returns at once.
  virtual void MessageBox(const std::string& text, const std::string& caption) = 0;
  // CharNextA: the character after the one `text` points at, in the ANSI
  // code page (a double-byte character of code page 932 is one character, a
  // UTF-8 sequence is one where the code page is 65001); `text` itself at
  // its terminator.
  virtual const char* CharNext(const char* text) = 0;
};

}  // namespace fenra
