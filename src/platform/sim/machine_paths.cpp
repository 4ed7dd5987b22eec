#include "platform/sim/machine_paths.h"

#include <cctype>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/sim/text.h"
#include "platform/win_values.h"

namespace fenra::sim {
namespace {

constexpr uint32_t kErrorInvalidName = 123;

struct WindowsPath {
  char drive = 0;                       // lower-case letter
  std::vector<std::string> components;  // from the drive's root
};

bool IsDriveLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

// Characters that no Windows file name may hold.
bool HasInvalidCharacter(std::string_view name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::string_view("<>:\"|?*").find(c) != std::string_view::npos)
      return true;
  }
  return false;
}

// Appends the components of `text` ('\\' or '/' separated) to `path`,
// folding "." and "..". False for a name Windows refuses.
bool AppendComponents(std::string_view text, WindowsPath* path) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view name = text.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (!path->components.empty()) path->components.pop_back();
      continue;
    }
    if (HasInvalidCharacter(name)) return false;
    path->components.emplace_back(name);
  }
  return true;
}

// A full path "X:\\..." into drive and components; false otherwise.
bool ParseFullPath(std::string_view text, WindowsPath* path) {
  if (text.size() < 3 || !IsDriveLetter(text[0]) || text[1] != ':' || (text[2] != '\\' && text[2] != '/'))
    return false;
  path->drive = AsciiLower(text[0]);
  path->components.clear();
  return AppendComponents(text.substr(3), path);
}

// Windows drops trailing dots and blanks of the last name ("a.ini." is
// "a.ini").
void TrimLastName(WindowsPath* path) {
  if (path->components.empty()) return;
  std::string& last = path->components.back();
  while (!last.empty() && (last.back() == '.' || last.back() == ' ')) last.pop_back();
  if (last.empty()) path->components.pop_back();
}

// The entry of `directory` named `name` in any case: an exact match first,
// else the first case-insensitive match in sorted order (a host directory
// may hold several), else `name` as given.
std::string MatchName(const std::filesystem::path& directory, const std::string& name, bool* exists) {
  std::error_code ec;
  if (std::filesystem::exists(directory / name, ec)) return name;
  std::string best;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    std::string candidate = entry.path().filename().string();
    if (EqualsIgnoreCase(candidate, name) && (best.empty() || candidate < best)) best = std::move(candidate);
  }
  *exists = !best.empty();
  return best.empty() ? name : best;
}

// Remembered directories; beyond this many the memory starts afresh.
constexpr size_t kMaxRemembered = 256;

// The directory part of a full path "X:\\a\\b\\name" whose last name needs
// no folding ("." or "..", trailing dots or blanks, characters Windows
// refuses), or nothing.
std::optional<std::string_view> PlainDirectoryOf(std::string_view path, std::string_view* name) {
  if (path.size() < 4 || !IsDriveLetter(path[0]) || path[1] != ':' || (path[2] != '\\' && path[2] != '/'))
    return std::nullopt;
  size_t separator = path.find_last_of("\\/");
  *name = path.substr(separator + 1);
  if (separator < 3 || name->empty() || *name == "." || *name == ".." || name->back() == '.' ||
      name->back() == ' ' || HasInvalidCharacter(*name))
    return std::nullopt;
  return path.substr(0, separator);
}

}  // namespace

MachinePaths::MachinePaths(std::filesystem::path root) : root_(std::move(root)) {}

std::optional<std::filesystem::path> MachinePaths::ToHost(std::string_view windows_path, std::string_view current_dir,
                                                          uint32_t* error) const {
  std::optional<Location> location = Locate(windows_path, current_dir, error, /*check=*/true);
  if (!location) return std::nullopt;
  std::filesystem::path directory = location->directory;
  if (location->name.empty()) return directory;
  bool exists = true;
  return directory / (location->found ? MatchName(directory, location->name, &exists) : location->name);
}

std::optional<MachinePaths::Location> MachinePaths::ToHostUnchecked(std::string_view windows_path,
                                                                    std::string_view current_dir,
                                                                    uint32_t* error) const {
  return Locate(windows_path, current_dir, error, /*check=*/false);
}

bool MachinePaths::NeedsCurrentDirectory(std::string_view windows_path) {
  if (windows_path.substr(0, 4) == "\\\\?\\") windows_path.remove_prefix(4);
  return !(windows_path.size() >= 3 && IsDriveLetter(windows_path[0]) && windows_path[1] == ':' &&
           (windows_path[2] == '\\' || windows_path[2] == '/'));
}

std::optional<std::string> MachinePaths::Remembered(std::string_view key, bool check) const {
  std::optional<std::string> directory;
  {
    MutexLock lock(mutex_);
    if (auto it = directories_.find(key); it != directories_.end()) directory = it->second;
  }
  std::error_code ec;
  if (directory && check && !std::filesystem::is_directory(*directory, ec)) directory.reset();
  return directory;
}

void MachinePaths::Remember(std::string key, const std::string& directory) const {
  MutexLock lock(mutex_);
  if (directories_.size() >= kMaxRemembered) directories_.clear();
  directories_.insert_or_assign(std::move(key), directory);
}

std::optional<MachinePaths::Location> MachinePaths::Locate(std::string_view windows_path, std::string_view current_dir,
                                                           uint32_t* error, bool check) const {
  auto fail = [error](uint32_t code) {
    if (error) *error = code;
    return std::nullopt;
  };
  // The path is a C string to the platform: it ends at the first NUL.
  windows_path = windows_path.substr(0, windows_path.find('\0'));
  if (windows_path.empty()) return fail(win::kErrorPathNotFound);

  std::string_view plain_name;
  std::optional<std::string_view> plain_directory = PlainDirectoryOf(windows_path, &plain_name);
  if (plain_directory) {
    if (std::optional<std::string> directory = Remembered(*plain_directory, check))
      return Location{std::move(*directory), std::string(plain_name)};
  }

  auto is_separator = [](char c) { return c == '\\' || c == '/'; };
  if (windows_path.size() >= 2 && is_separator(windows_path[0]) && is_separator(windows_path[1])) {
    // "\\\\?\\C:\\x" is a full path written without normalisation; "\\\\.\\X"
    // is a device and "\\\\server\\share" a network path: no files here.
    if (windows_path.size() >= 4 && windows_path[2] == '?' && is_separator(windows_path[3])) {
      windows_path.remove_prefix(4);
    } else if (windows_path.size() >= 4 && windows_path[2] == '.' && is_separator(windows_path[3])) {
      return fail(win::kErrorFileNotFound);
    } else {
      return fail(win::kErrorPathNotFound);
    }
  }

  WindowsPath path;
  bool valid = true;
  if (windows_path.size() >= 2 && IsDriveLetter(windows_path[0]) && windows_path[1] == ':') {
    char drive = AsciiLower(windows_path[0]);
    std::string_view rest = windows_path.substr(2);
    if (!rest.empty() && is_separator(rest[0])) {
      path.drive = drive;
    } else if (ParseFullPath(current_dir, &path) && path.drive == drive) {
      // "C:x" is relative to the current directory when it is on drive C.
    } else {
      path = WindowsPath{drive, {}};
    }
    valid = AppendComponents(rest, &path);
  } else {
    if (!ParseFullPath(current_dir, &path)) return fail(win::kErrorPathNotFound);
    if (is_separator(windows_path[0])) path.components.clear();
    valid = AppendComponents(windows_path, &path);
  }
  if (!valid) return fail(kErrorInvalidName);
  TrimLastName(&path);

  Location location{(root_ / (std::string("drive_") + path.drive)).string(), {}};
  if (path.components.empty()) return location;
  location.name = std::move(path.components.back());
  path.components.pop_back();
  if (path.components.empty()) return location;

  std::string key(1, path.drive);
  for (const std::string& name : path.components) key += "\\" + name;
  if (std::optional<std::string> directory = Remembered(key, check)) {
    location.directory = std::move(*directory);
  } else {
    std::filesystem::path host = location.directory;
    for (const std::string& name : path.components)
      host /= location.found ? MatchName(host, name, &location.found) : name;
    location.directory = host.string();
    if (!location.found) return location;
    Remember(std::move(key), location.directory);
  }
  if (plain_directory) Remember(std::string(*plain_directory), location.directory);
  return location;
}

}  // namespace fenra::sim
