#include "platform/sim/sim_system.h"

#include <cstdio>
#include <map>

#include "platform/sim/last_error.h"
#include "platform/sim/text.h"
#include "platform/win_values.h"
#include "support/wide_text.h"

namespace fenra::sim {

bool SimSystem::GetVersion(OsVersion* version) {
  *version = facts_.version;
  return true;
}

std::string SimSystem::ExpandEnvironmentStrings(const std::string& text) {
  const std::map<std::string, std::string, LessIgnoreCase> variables = {
      {"SYSTEMROOT", facts_.system_root},
      {"WINDIR", facts_.system_root},
      {"SYSTEMDRIVE", facts_.system_root.substr(0, 2)},
      {"PROGRAMFILES", facts_.system_root.substr(0, 2) + "\\Program Files"},
  };
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t open = text.find('%', pos);
    size_t close = open == std::string::npos ? std::string::npos : text.find('%', open + 1);
    if (close == std::string::npos) {
      out += text.substr(pos);
      break;
    }
    out += text.substr(pos, open - pos);
    auto found = variables.find(text.substr(open + 1, close - open - 1));
    if (found != variables.end()) {
      out += found->second;
      pos = close + 1;
    } else {
      // An unknown reference stays; its closing % may open the next one.
      out += text.substr(open, close - open);
      pos = close;
    }
  }
  return out;
}

std::string SimSystem::GetCurrentDirectory() {
  MutexLock lock(mutex_);
  return current_;
}

bool SimSystem::SetCurrentDirectory(const std::string& path) {
  if (path.size() < 3 || path[1] != ':' || (path[2] != '\\' && path[2] != '/')) {
    SetLastError(win::kErrorPathNotFound);
    return false;
  }
  MutexLock lock(mutex_);
  current_ = path;
  while (current_.size() > 3 && (current_.back() == '\\' || current_.back() == '/')) current_.pop_back();
  return true;
}

std::string SimSystem::ToAnsi(std::wstring_view text) { return WideToUtf8(text); }

void SimSystem::MessageBox(const std::string& text, const std::string& caption) {
  fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
  MutexLock lock(mutex_);
  message_boxes_.push_back(caption + ": " + text);
}

const char* SimSystem::CharNext(const char* text) { return NextUtf8Character(text); }

std::vector<std::string> SimSystem::MessageBoxes() const {
  MutexLock lock(mutex_);
  return message_boxes_;
}

}  // namespace fenra::sim
