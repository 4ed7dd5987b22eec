#pragma once
// Where the Windows paths of the simulated machine live on the host.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

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
  std::optional<std::filesystem::path> ToHost(std::string_view windows_path, std::string_view current_dir,
                                              uint32_t* error = nullptr) const;

 private:
  std::filesystem::path root_;
};

}  // namespace fenra::sim
