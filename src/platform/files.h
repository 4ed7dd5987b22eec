#pragma once
// Files port: what the trace log and the INI files need, with Windows
// paths and Windows share modes (a file held open for writing without
// FILE_SHARE_WRITE cannot be opened for writing by anyone else).

#include <cstdint>
#include <memory>
#include <string>

#include "platform/win_values.h"

namespace fenra {

// An open file; destroying it closes it.
class File {
 public:
  virtual ~File() = default;
};
using FilePtr = std::unique_ptr<File>;

// Paths are Windows paths ("C:\\dir\\file", relative to the current
// directory of the System port otherwise). Thread-safe. Failures set the
// calling thread's last error.
class Files {
 public:
  virtual ~Files() = default;

  // CreateFileA. Null on failure (ERROR_SHARING_VIOLATION when another open
  // excludes this one, ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND).
  virtual FilePtr CreateFile(const std::string& path, uint32_t access, uint32_t share,
                             uint32_t disposition) = 0;
  // CreateFile for a file that must not be someone else's: refused (null,
  // ERROR_ACCESS_DENIED) when it is a reparse point (a symbolic link or a
  // junction, which is not followed), has more than one name (hard links),
  // or is owned by any account but LocalSystem, the Administrators group or
  // this process's own. A user who can create files in the folder cannot
  // plant it, then, to read what is written, to hold it, or to send the
  // writes into another file. An existing file is looked at before it is
  // changed: kCreateAlways and kTruncateExisting cut it only once it has
  // passed.
  virtual FilePtr CreateTrustedFile(const std::string& path, uint32_t access, uint32_t share,
                                    uint32_t disposition) = 0;
  virtual bool GetFileSize(File& file, uint64_t* size) = 0;
  // SetFilePointerEx; `method` is kFileBegin, kFileCurrent or kFileEnd.
  virtual bool SetFilePointer(File& file, int64_t distance, uint32_t method, uint64_t* position) = 0;
  virtual bool WriteFile(File& file, const void* data, uint32_t size, uint32_t* written) = 0;
  virtual bool ReadFile(File& file, void* data, uint32_t size, uint32_t* read) = 0;

  // GetPrivateProfileIntA.
  virtual uint32_t GetPrivateProfileInt(const std::string& section, const std::string& key,
                                        int32_t default_value, const std::string& path) = 0;
};

}  // namespace fenra
