#include "win32_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace fenra::win32::testing {
namespace {

constexpr const char* kTraceKey = "SOFTWARE\\QOR\\QVMAlertMan";

void RemoveTree(const std::string& directory) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((directory + "*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(directory + name + "\\");
      else
        DeleteFileA((directory + name).c_str());
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryA(directory.c_str());
}

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
  char temp[MAX_PATH + 1] = {};
  GetTempPathA(MAX_PATH, temp);
  static int counter = 0;
  path_ = std::string(temp) + "fenra-test-" + std::to_string(GetCurrentProcessId()) + "-" +
          std::to_string(++counter) + "\\";
  EXPECT_TRUE(CreateDirectoryA(path_.c_str(), nullptr)) << path_;
}

ScratchDirectory::~ScratchDirectory() { RemoveTree(path_); }

TracedMachine::TracedMachine() {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTraceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
  const std::string& directory = scratch_.path();
  EXPECT_EQ(RegSetValueExA(key, "TempDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(directory.c_str()),
                           static_cast<DWORD>(directory.size() + 1)),
            0);
  RegCloseKey(key);
}

TracedMachine::~TracedMachine() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, kTraceKey); }

std::vector<std::string> TracedMachine::TraceLines() const {
  std::vector<std::string> lines;
  for (const char* name : {"fenratrace1.log", "fenratrace2.log"}) {
    std::ifstream file(scratch_.path() + name, std::ios::binary);
    std::string line;
    while (std::getline(file, line)) {
      // "2024/01/31 12:34'56"789 text\r"
      size_t text = line.find(' ', line.find(' ') + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(text == std::string::npos ? line : line.substr(text + 1));
    }
  }
  return lines;
}

}  // namespace fenra::win32::testing
