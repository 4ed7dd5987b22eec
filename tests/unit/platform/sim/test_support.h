#pragma once
// Small stand-ins for the tests of the simulated machine's adapters.

#include <filesystem>
#include <map>
#include <string>

#include "platform/system.h"
#include "support/test_machine.h"

namespace fenra::sim::testing {

using fenra::testing::ReadFile;
using fenra::testing::ScratchDir;
using fenra::testing::WriteFile;

// The System port as far as files need it: a current directory and an
// environment.
class FakeSystem : public System {
 public:
  std::string current_directory = "C:\\Windows\\system32";
  std::map<std::string, std::string> environment = {{"SystemRoot", "C:\\Windows"}};

  bool GetVersion(OsVersion*) override { return false; }
  std::string ExpandEnvironmentStrings(const std::string& text) override {
    std::string out = text;
    for (const auto& [name, value] : environment) {
      std::string reference = "%" + name + "%";
      for (size_t at = out.find(reference); at != std::string::npos; at = out.find(reference, at + value.size()))
        out.replace(at, reference.size(), value);
    }
    return out;
  }
  std::string GetCurrentDirectory() override { return current_directory; }
  bool SetCurrentDirectory(const std::string& path) override {
    current_directory = path;
    return true;
  }
  std::string GetCommandLine() override { return {}; }
  std::string ToAnsi(std::wstring_view) override { return {}; }
  bool IsWow64Process() override { return false; }
  void MessageBox(const std::string&, const std::string&) override {}
  const char* CharNext(const char* text) override { return *text != '\0' ? text + 1 : text; }
};

}  // namespace fenra::sim::testing
