#pragma once
// Simulated system facts: OS version, environment, current directory, and
// message boxes (recorded instead of shown).

#include <mutex>
#include <string>
#include <vector>

#include "platform/system.h"

namespace fenra::sim {

struct SystemFacts {
  OsVersion version{6, 1, 7601, 2, "Service Pack 1"};
  bool wow64 = false;
  std::string system_root = "C:\\Windows";
  std::string current_directory = "C:\\Windows\\system32";
};

class SimSystem final : public System {
 public:
  explicit SimSystem(SystemFacts facts) : facts_(std::move(facts)), current_(facts_.current_directory) {}

  bool GetVersion(OsVersion* version) override;
  std::string ExpandEnvironmentStrings(const std::string& text) override;
  std::string GetCurrentDirectory() override;
  bool SetCurrentDirectory(const std::string& path) override;
  bool IsWow64Process() override { return facts_.wow64; }
  void MessageBox(const std::string& text, const std::string& caption) override;
  // The ANSI code page is UTF-8: a sequence is one character; a byte that
  // does not start a complete sequence is a character of its own.
  const char* CharNext(const char* text) override;

  // Texts of the message boxes shown so far, as "caption: text".
  std::vector<std::string> MessageBoxes() const;

 private:
  const SystemFacts facts_;
  mutable std::mutex mutex_;
  std::string current_;
  std::vector<std::string> message_boxes_;
};

}  // namespace fenra::sim
