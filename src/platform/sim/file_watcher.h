#pragma once
// Watches one host file for edits made from outside the machine (a person,
// another tool), on a thread of the machine's kernel.

#include <cstdint>
#include <filesystem>
#include <functional>

#include "platform/kernel.h"

namespace fenra::sim {

class FileWatcher {
 public:
  // Polls the file's modification time, size and inode every `poll_ms`
  // through kernel waits and calls `changed` after each edit it sees. The
  // file's state at construction is the baseline: an edit made right after
  // is seen. On virtual time the poller keeps a run from ever becoming
  // quiescent, so the machine watches on real time only.
  FileWatcher(Kernel& kernel, std::filesystem::path file, uint32_t poll_ms, std::function<void()> changed);
  // Stops the poller and waits for it.
  ~FileWatcher();
  FileWatcher(const FileWatcher&) = delete;
  FileWatcher& operator=(const FileWatcher&) = delete;

 private:
  Kernel& kernel_;
  Handle stop_;
  Handle thread_;
};

}  // namespace fenra::sim
