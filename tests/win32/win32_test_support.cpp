#include "win32_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fenra::win32::testing {
namespace {

constexpr const char* kTraceKey = "SOFTWARE\\QOR\\QVMAlertMan";

}  // namespace

std::string BuildDirectory() {
  char path[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string directory = path;
  return directory.substr(0, directory.find_last_of('\\') + 1);
}

std::string FixturePath(std::string_view relative) { return BuildDirectory() + "fixtures\\" + std::string(relative); }

std::wstring WideFromUtf8(std::string_view text) {
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

bool RunningOnWine() { return GetProcAddress(GetModuleHandleA("ntdll"), "wine_get_version") != nullptr; }

ScratchDirectory::ScratchDirectory() {
  static int counter = 0;
  std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("fenra-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter));
  std::filesystem::create_directories(path);
  path_ = path.string() + "\\";
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

TracedMachine::TracedMachine() {
  RegKeyPtr key;
  Registry& registry = platform().registry;
  EXPECT_EQ(registry.CreateKey(Hive::kLocalMachine, kTraceKey, win::kKeyAllAccess, &key, nullptr), 0);
  const std::string& directory = scratch_.path();
  EXPECT_EQ(registry.SetValue(*key, "TempDir", win::kRegSz, reinterpret_cast<const uint8_t*>(directory.c_str()),
                              static_cast<uint32_t>(directory.size() + 1)),
            0);
}

TracedMachine::~TracedMachine() { platform().registry.DeleteKey(Hive::kLocalMachine, kTraceKey); }

std::vector<std::string> TracedMachine::TraceLines() const {
  std::vector<std::string> lines;
  for (const char* name : {"fenratrace1.log", "fenratrace2.log"}) {
    std::ifstream file(scratch_.path() + name, std::ios::binary);
    // "2024/01/31 12:34'56"789 text\r"
    for (std::string line; std::getline(file, line);) {
      size_t text = line.find(' ', line.find(' ') + 1);
      lines.push_back(line.substr(text + 1, line.size() - text - 2));
    }
  }
  return lines;
}

}  // namespace fenra::win32::testing
