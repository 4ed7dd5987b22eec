#include "platform/sim/file_watcher.h"

#include <sys/stat.h>

#include "platform/win_values.h"

namespace fenra::sim {
namespace {

// What tells an edit of the file: file time stamps come from a coarse clock,
// so two writes within a few milliseconds can share one; an editor's save by
// rename gives a new inode, an edit in place mostly a new size.
struct FileStamp {
  int64_t seconds = -1;
  int64_t nanoseconds = -1;
  int64_t size = -1;
  uint64_t inode = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return {};
  return {info.st_mtim.tv_sec, info.st_mtim.tv_nsec, info.st_size, info.st_ino};
}

}  // namespace

FileWatcher::FileWatcher(Kernel& kernel, std::filesystem::path file, uint32_t poll_ms, std::function<void()> changed)
    : kernel_(kernel), stop_(kernel.CreateEvent(true, false)) {
  FileStamp seen = StampOf(file);
  thread_ = kernel.CreateThread(
      [&kernel, stop = stop_, file = std::move(file), poll_ms, seen, changed = std::move(changed)]() mutable {
        while (kernel.WaitForSingleObject(stop, poll_ms) == win::kWaitTimeout) {
          FileStamp now = StampOf(file);
          if (now == seen) continue;
          seen = now;
          changed();
        }
        return 0u;
      },
      "file watcher");
}

FileWatcher::~FileWatcher() {
  if (!thread_) return;
  kernel_.SetEvent(stop_);
  kernel_.WaitForSingleObject(thread_, win::kInfinite);
}

}  // namespace fenra::sim
