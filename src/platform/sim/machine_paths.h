#pragma once
// Where the Windows paths of the simulated machine live on the host.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "support/thread_annotations.h"

namespace fenra::sim {

// Drive X: of the machine is the directory `drive_x` under the machine
// root; Windows paths are matched against it case-insensitively.
class MachinePaths {
 public:
  explicit MachinePaths(std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }

  // Maps a Windows path ("C:\\dir\\f.ini", "\\dir\\f.ini", "C:f.ini",
  // "f.ini"; '/' also separates) to a host path under the root. Relative
  // forms are resolved against `current_dir`, itself a full Windows path.
  // "." and ".." never lead above the drive. An existing file or directory
  // is found whatever the case of the name asked for; a component that does
  // not exist keeps the case given. nullopt, with a Win32 code in *error,
  // for what is no file of the machine: a device ("\\\\.\\IPMIDEV"), a UNC
  // path, a name with characters Windows refuses, or a bad `current_dir`.
  // Thread-safe (reads the host directory only).
  //
  // Directories found are remembered: a later path in the same directory
  // costs one check that the directory is still there instead of a look at
  // every level. A directory created on the host beside a remembered one,
  // differing from it only in case, is not seen while the remembered one
  // exists (Windows cannot hold both).
  std::optional<std::filesystem::path> ToHost(std::string_view windows_path, std::string_view current_dir,
                                              uint32_t* error = nullptr) const;

  // Where a file would be: the host directory of the path's parent and its
  // last name as given (empty for a drive's root).
  struct Location {
    std::string directory;
    std::string name;
    // False when a level of the directory does not exist.
    bool found = true;
  };
  // As ToHost, but the last name is not looked up, and a remembered
  // directory is handed out without a check: the caller's own use of it
  // (an open that succeeds) is the check, and a caller whose use fails asks
  // ToHost, which looks again. A full path ("X:\\...") whose directory was
  // asked for before in the same spelling is not parsed again. Thread-safe.
  std::optional<Location> ToHostUnchecked(std::string_view windows_path, std::string_view current_dir,
                                          uint32_t* error = nullptr) const;
  // False for a full path ("X:\\..."), which is mapped without the current
  // directory.
  static bool NeedsCurrentDirectory(std::string_view windows_path);

 private:
  // The location of `windows_path`, its directory remembered (confirmed
  // with one look when `check`) or found level by level.
  std::optional<Location> Locate(std::string_view windows_path, std::string_view current_dir, uint32_t* error,
                                 bool check) const;
  std::optional<std::string> Remembered(std::string_view key, bool check) const;
  void Remember(std::string key, const std::string& directory) const;

  std::filesystem::path root_;
  mutable Mutex mutex_;
  // Directory of a path -> its host directory. Keys are full Windows paths
  // as spelt by the caller ("C:\\QOR\\Temp") and parsed ones (drive letter
  // and names, "c\\QOR\\Temp").
  mutable std::map<std::string, std::string, std::less<>> directories_ FENRA_GUARDED_BY(mutex_);
};

}  // namespace fenra::sim
