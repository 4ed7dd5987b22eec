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

ProgramRun RunProgram(const std::string& command_line, DWORD timeout_ms) {
  ScratchDirectory scratch;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  auto capture = [&](const char* name) {
    return CreateFileA((scratch.path() + name).c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE output = capture("output");
  HANDLE error = capture("error");
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = error;
  PROCESS_INFORMATION process = {};
  std::string line = command_line;
  ProgramRun run;
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    run.ended = WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0;
    if (!run.ended) {
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &run.exit_code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  } else {
    ADD_FAILURE() << "cannot start " << command_line << ": " << GetLastError();
  }
  auto read = [](HANDLE file) {
    std::string text(GetFileSize(file, nullptr), '\0');
    DWORD count = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &count, nullptr);
    CloseHandle(file);
    text.resize(count);
    return text;
  };
  run.output = read(output);
  run.error = read(error);
  return run;
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
