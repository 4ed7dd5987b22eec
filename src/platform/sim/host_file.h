#pragma once
// Host file operations shared by the simulated adapters.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace fenra::sim {

// The whole content of `file`. 0, ENOENT for a missing file, or another
// errno (EISDIR for a directory).
int ReadHostFile(const std::filesystem::path& file, std::string* content);

// Writes all of `content` to `fd`. 0 or an errno.
int WriteAll(int fd, std::string_view content);

// Replaces `file` by `content` so that a crash leaves either the old or the
// new file: a temporary file beside it is written, flushed to disk and
// renamed over it. 0 or the errno of the step that failed (no temporary
// file is left behind then).
int WriteFileAtomically(const std::filesystem::path& file, std::string_view content);

// The Win32 error code that best describes a host errno value.
uint32_t Win32ErrorFromErrno(int error);

}  // namespace fenra::sim
