#include "platform/sim/file_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/sim/host_file.h"

namespace fenra::sim {

FileWatcher::FileWatcher(std::filesystem::path directory, std::vector<std::string> names,
                         std::function<void()> changed)
    : directory_(std::move(directory)), names_(std::move(names)), changed_(std::move(changed)) {
  stop_fd_ = eventfd(0, EFD_CLOEXEC);
  // Watching before the constructor returns, so that an edit made right
  // after it is seen.
  notify_fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (notify_fd_ >= 0 && inotify_add_watch(notify_fd_, directory_.c_str(), kWatchedEvents) < 0) {
    close(notify_fd_);
    notify_fd_ = -1;
  }
  for (const std::string& name : names_) {
    FileStamp stamp;
    StatHostFile(directory_ / name, &stamp);
    stamps_.push_back(stamp);
  }
  thread_ = std::thread([this] { Watch(); });
}

FileWatcher::~FileWatcher() {
  uint64_t one = 1;
  if (stop_fd_ >= 0 && write(stop_fd_, &one, sizeof(one)) < 0) {
    // An eventfd write fails only on overflow; the thread is woken anyway.
  }
  thread_.join();
  if (stop_fd_ >= 0) close(stop_fd_);
  if (notify_fd_ >= 0) close(notify_fd_);
}

void FileWatcher::Watch() {
  const int notify = notify_fd_;
  std::vector<FileStamp> seen = stamps_;
  for (;;) {
    pollfd fds[2] = {{stop_fd_, POLLIN, 0}, {notify, POLLIN, 0}};
    int ready = poll(fds, notify >= 0 ? 2 : 1, notify >= 0 ? -1 : 250);
    if (ready < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) break;
    bool ours = false;
    if (notify >= 0) {
      alignas(inotify_event) char buffer[16384];
      for (ssize_t got; (got = read(notify, buffer, sizeof(buffer))) > 0;) {
        for (char* p = buffer; p < buffer + got;) {
          auto* event = reinterpret_cast<inotify_event*>(p);
          if (event->len > 0 && std::find(names_.begin(), names_.end(), event->name) != names_.end()) ours = true;
          p += sizeof(inotify_event) + event->len;
        }
      }
    } else {
      std::vector<FileStamp> now(names_.size());
      for (size_t i = 0; i < names_.size(); ++i) StatHostFile(directory_ / names_[i], &now[i]);
      ours = now != seen;
      seen = std::move(now);
    }
    if (ours) changed_();
  }
}

}  // namespace fenra::sim
