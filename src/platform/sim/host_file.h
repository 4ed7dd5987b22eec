#pragma once
// Host file operations shared by the simulated adapters.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace fenra::sim {

// What tells one version of a file from another: a file replaced by rename
// is another inode, a file rewritten in place has another size or time.
struct FileStamp {
  bool exists = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modified_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

// The stamp of `file` (exists false when it is missing). 0 or an errno.
int StatHostFile(const std::filesystem::path& file, FileStamp* stamp);

// The whole content of `file`, and (when `stamp` is not null) the stamp of
// the version read. 0, ENOENT for a missing file, or another errno (EISDIR
// for a directory).
int ReadHostFile(const std::filesystem::path& file, std::string* content, FileStamp* stamp = nullptr);

// Writes all of `content` to `fd`. 0 or an errno.
int WriteAll(int fd, std::string_view content);

// Replaces `file` by `content` through the temporary file "<file>.tmp"
// renamed over it, so a process killed at any moment leaves the old or the
// new file whole; writers of one file must take turns. With `durable` the
// data and the rename are flushed to disk before it returns, so the change
// also survives a crash of the host. The new file's modification time is
// later than the old one's, to the nanosecond, so its stamp always differs.
// `before_rename` (may be empty) is asked, with the new file's stamp, just
// before the rename; when it says no, nothing is replaced and the result is
// EAGAIN. 0 or the errno of the step that failed (the temporary file is
// removed then).
int WriteFileAtomically(const std::filesystem::path& file, std::string_view content, bool durable,
                        const std::function<bool(const FileStamp&)>& before_rename = {});

// The Win32 error code that best describes a host errno value.
uint32_t Win32ErrorFromErrno(int error);

// Tells a person on standard error that the machine's files cannot be
// written: the first failure, with its file and reason, and then nothing
// until a write has succeeded again; counts every failure. Thread-safe.
class WriteFailureNotice {
 public:
  void Failed(const std::filesystem::path& file, int error);
  void Succeeded() { reported_.store(false, std::memory_order_relaxed); }
  // Says `message` on standard error (a problem that is not a failed write),
  // after the program's name; unprintable bytes are escaped.
  void Say(const std::string& message);
  // Failed writes so far, reported or not.
  uint64_t failures() const { return failures_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> reported_{false};
  std::atomic<uint64_t> failures_{0};
};

}  // namespace fenra::sim
