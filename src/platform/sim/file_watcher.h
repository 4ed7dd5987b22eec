#pragma once
// Watches files of one host directory for edits made from outside the
// machine (a person, another tool), as the file system reports them.

#include <sys/inotify.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/host_file.h"

namespace fenra::sim {

class FileWatcher {
 public:
  // What the file system's notification is asked to tell.
  static constexpr uint32_t kWatchedEvents = IN_CLOSE_WRITE | IN_MOVED_TO;

  // Calls `changed`, on a host thread of its own, after each change to a
  // file of `directory` named in `names`: closed by a writer (a new file, an
  // append, an edit in place) or replaced by a rename. The file system's
  // notification (inotify) wakes the thread, so the call follows the write
  // within about a millisecond; where there is no such notification the
  // files' stamps are compared every 250 ms instead. Changes that come
  // while `changed` runs are told in one later call, so `changed` must take
  // all that is new. On virtual time a host thread would feed inputs at
  // real-time moments, so the machine watches on real time only.
  //
  // The thread wakes for a closed writer, not for each write: a file being
  // saved in place is read once it is whole, not half-written. Closing a
  // watched file that was opened for writing wakes it even when nothing was
  // written, so `changed` must open the watched files for reading only, or
  // it wakes itself for ever.
  FileWatcher(std::filesystem::path directory, std::vector<std::string> names, std::function<void()> changed);
  // Stops the thread and waits for it (and for a `changed` that runs).
  ~FileWatcher();
  FileWatcher(const FileWatcher&) = delete;
  FileWatcher& operator=(const FileWatcher&) = delete;

 private:
  void Watch();

  const std::filesystem::path directory_;
  const std::vector<std::string> names_;
  const std::function<void()> changed_;
  int stop_fd_ = -1;    // an eventfd that ends the thread
  int notify_fd_ = -1;  // the inotify descriptor; -1: stamps are compared
  std::vector<FileStamp> stamps_;  // the files' stamps at construction
  std::thread thread_;
};

}  // namespace fenra::sim
