#pragma once
// Simulated system facts: OS version, environment, current directory, the
// command line, and message boxes (written to standard error and recorded
// instead of shown). The ANSI code page is UTF-8.

#include <string>
#include <vector>

#include "platform/system.h"
#include "support/thread_annotations.h"

namespace fenra::sim {

struct SystemFacts {
  OsVersion version{6, 1, 7601, 2, "Service Pack 1"};
  bool wow64 = false;
  std::string system_root = "C:\\Windows";
  std::string current_directory = "C:\\Windows\\system32";
};

class SimSystem final : public System {
 public:
  explicit SimSystem(SystemFacts facts, std::string command_line = {})
      : facts_(std::move(facts)), command_line_(std::move(command_line)), current_(facts_.current_directory) {}

  bool GetVersion(OsVersion* version) override;
  std::string ExpandEnvironmentStrings(const std::string& text) override;
  std::string GetCurrentDirectory() override;
  bool SetCurrentDirectory(const std::string& path) override;
  std::string GetCommandLine() override { return command_line_; }
  // The ANSI code page is UTF-8: a sequence is one character; a byte that
  // does not start a complete sequence is a character of its own.
  const char* CharNext(const char* text) override;
  std::string ToAnsi(std::wstring_view text) override;
  bool IsWow64Process() override { return facts_.wow64; }
  void MessageBox(const std::string& text, const std::string& caption) override;

  // Texts of the message boxes shown so far, as "caption: text".
  std::vector<std::string> MessageBoxes() const;

 private:
  const SystemFacts facts_;
  const std::string command_line_;
  mutable Mutex mutex_;
  std::string current_ FENRA_GUARDED_BY(mutex_);
  std::vector<std::string> message_boxes_ FENRA_GUARDED_BY(mutex_);
};

// One process's view of the system: its own command line, the machine's
// everything else (the current directory too, for now: every process of
// this system makes the same directory current).
class SimProcessSystem final : public System {
 public:
  SimProcessSystem(System& machine, std::string command_line)
      : machine_(machine), command_line_(std::move(command_line)) {}

  bool GetVersion(OsVersion* version) override { return machine_.GetVersion(version); }
  std::string ExpandEnvironmentStrings(const std::string& text) override {
    return machine_.ExpandEnvironmentStrings(text);
  }
  std::string GetCurrentDirectory() override { return machine_.GetCurrentDirectory(); }
  bool SetCurrentDirectory(const std::string& path) override { return machine_.SetCurrentDirectory(path); }
  std::string GetCommandLine() override { return command_line_; }
  const char* CharNext(const char* text) override { return machine_.CharNext(text); }
  std::string ToAnsi(std::wstring_view text) override { return machine_.ToAnsi(text); }
  bool IsWow64Process() override { return machine_.IsWow64Process(); }
  void MessageBox(const std::string& text, const std::string& caption) override {
    machine_.MessageBox(text, caption);
  }

 private:
  System& machine_;
  const std::string command_line_;
};

}  // namespace fenra::sim
