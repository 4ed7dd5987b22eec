#pragma once
// Version resources of files (GetFileVersionInfoSizeA, GetFileVersionInfoA,
// VerQueryValueA) and the path of the running executable.

#include <cstdint>
#include <string>

namespace fenra {

// The file version of the fixed part of a version resource, its four
// 16-bit parts in the order they are written ("major.minor.build.revision").
struct FixedFileVersion {
  uint16_t major = 0;
  uint16_t minor = 0;
  uint16_t build = 0;
  uint16_t revision = 0;
};

// Paths are Windows paths. Failures set the calling thread's last error.
// Thread-safe.
class VersionInfo {
 public:
  virtual ~VersionInfo() = default;

  // GetModuleFileNameA for the running executable: its full path.
  virtual std::string GetModuleFileName() = 0;
  // GetFileVersionInfoSizeA: the size of the file's version resource; 0 when
  // the file has none (ERROR_RESOURCE_TYPE_NOT_FOUND) or does not exist
  // (ERROR_FILE_NOT_FOUND).
  virtual uint32_t GetFileVersionInfoSize(const std::string& path) = 0;
  // GetFileVersionInfoA: copies at most `size` bytes of the resource into
  // `data`. The bytes are opaque; only the queries below read them.
  virtual bool GetFileVersionInfo(const std::string& path, uint32_t size, void* data) = 0;
  // VerQueryValueA with the root block "\\": the fixed part's file version.
  // False when the resource has no fixed part.
  virtual bool QueryFixedFileVersion(const void* data, uint32_t size, FixedFileVersion* version) = 0;
  // VerQueryValueA with a string block such as
  // "\\StringFileInfo\\041104b0\\FileVersion". False when it is missing.
  virtual bool QueryVersionString(const void* data, uint32_t size, const std::string& block, std::string* value) = 0;
};

}  // namespace fenra
