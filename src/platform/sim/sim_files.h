#pragma once
// Files of the simulated machine: CreateFileA with its dispositions and
// share modes, file size, pointer, read and write, and the INI reader.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/sim/machine_paths.h"
#include "platform/system.h"

namespace fenra::sim {

// One instance is one simulated process. Share modes are open-file-
// description locks on the host file (fcntl F_OFD_SETLK at offsets far
// beyond any data), so they bind the opens of this instance, of every other
// instance and of every other host process that opens files of the same
// machine through this class alike. Those locks are advisory and best
// effort: where the host refuses them (a file system without them, a file
// that may not be opened for both reading and writing) only the opens of
// this instance exclude each other.
//
// An open costs the host's open alone when the file exists under the name
// asked for in a directory already found, and one lock call when it takes
// part in sharing. A handle that holds its file for writing while denying
// writing to others sizes the file once and then counts its own writes.
//
// What makes a file untrusted (CreateTrustedFile) is the host's: a symbolic
// link is a reparse point, a file of more than one name has hard links. The
// machine's processes run as LocalSystem and own every file they make;
// another account's file is one a test says so of (SetOwner). A trusted
// open costs one fstat more.
// Thread-safe.
class SimFiles : public Files {
 public:
  // kThisProcessOnly leaves the host locks out, as on a file system that
  // lacks them.
  enum class Sharing { kAcrossProcesses, kThisProcessOnly };

  // Relative paths are resolved against `system`'s current directory.
  SimFiles(const MachinePaths& paths, System& system, Sharing sharing = Sharing::kAcrossProcesses);

  FilePtr CreateFile(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) override;
  FilePtr CreateTrustedFile(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) override;
  bool GetFileSize(File& file, uint64_t* size) override;
  bool SetFilePointer(File& file, int64_t distance, uint32_t method, uint64_t* position) override;
  bool WriteFile(File& file, const void* data, uint32_t size, uint32_t* written) override;
  bool ReadFile(File& file, void* data, uint32_t size, uint32_t* read) override;
  // A file name without a directory is looked for in the Windows directory
  // (%SystemRoot%), as the platform does.
  uint32_t GetPrivateProfileInt(const std::string& section, const std::string& key, int32_t default_value,
                                const std::string& path) override;

  // Makes `sid` (string form, "S-1-5-21-...") the owner of the existing file
  // `path`, as if that account had created it; for as long as this instance
  // lives. False when there is no such file.
  bool SetOwner(const std::string& path, const std::string& sid);

  // For tests: CreateFile as a different process would do it, so that the
  // file is held against this instance until the result is destroyed.
  FilePtr OpenAsOtherProcess(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition);

  class OpenTable;
  class Owners;

 private:
  FilePtr Open(const std::shared_ptr<OpenTable>& table, const std::string& path, uint32_t access, uint32_t share,
               uint32_t disposition, bool trusted = false);

  const MachinePaths& paths_;
  System& system_;
  const Sharing sharing_;
  std::shared_ptr<OpenTable> opens_;
  std::shared_ptr<Owners> owners_;
};

// GetPrivateProfileInt on the bytes of an INI file (UTF-8, with or without
// its byte-order mark, or UTF-16LE after one).
uint32_t ProfileIntFromFile(std::string_view bytes, std::string_view section, std::string_view key,
                            int32_t default_value);

}  // namespace fenra::sim
