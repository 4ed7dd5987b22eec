#pragma once
// Helpers of the Windows tests: where the build put its programs and
// fixtures, scratch directories, and a service process's runtime on the
// real machine with its trace in a scratch directory.

#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/trace_log.h"
#include "monitor/monitor_state.h"
#include "platform/win32/win32_machine.h"
#include "platform/win32/windows_api.h"
#include "runtime.h"

namespace fenra::win32::testing {

// The build directory, where the test program, FENRA.exe and FENRAAPI.dll
// are, with a trailing backslash.
std::string BuildDirectory();
// A file below the build's fixtures\ directory.
std::string FixturePath(std::string_view relative);

std::wstring WideFromUtf8(std::string_view text);

// A program run to its end: whether it ended within its time (a program
// still running then is ended), its exit code, and what it wrote to its
// standard output and standard error.
struct ProgramRun {
  bool ended = false;
  DWORD exit_code = 0;
  std::string output;
  std::string error;
};
ProgramRun RunProgram(const std::string& command_line, DWORD timeout_ms);

// True under Wine (its ntdll exports wine_get_version), where a test
// expects Wine's answer where it differs from Windows.
bool RunningOnWine();

// A new directory below the temporary folder, removed with its files.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  // With a trailing backslash.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The real machine as one service process sees it, with the trace log's
// TempDir pointing into a scratch directory (and removed at the end).
class TracedMachine {
 public:
  TracedMachine();
  ~TracedMachine();

  Platform& platform() { return machine_.platform(); }
  Runtime& runtime() { return runtime_; }
  // The trace's lines without their time stamps, first file first.
  std::vector<std::string> TraceLines() const;

 private:
  ScratchDirectory scratch_;
  Win32Machine machine_;
  Trace trace_{machine_.platform()};
  MonitorState monitor_;
  Runtime runtime_{machine_.platform(), trace_, monitor_};
};

}  // namespace fenra::win32::testing
