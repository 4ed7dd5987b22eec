#include "platform/sim/host_file.h"

#include <errno.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/sim/text.h"
#include "platform/win_values.h"

namespace fenra::sim {
namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;

FileStamp StampOf(const struct stat& info) {
  return FileStamp{true, static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                   static_cast<uint64_t>(info.st_size),
                   static_cast<int64_t>(info.st_mtim.tv_sec) * kNanosecondsPerSecond + info.st_mtim.tv_nsec};
}

// Sets the modification time of `fd` to now, or to just after `after_ns`
// when the clock has not moved past it (coarse file times, a clock step).
int SetLaterTime(int fd, int64_t after_ns) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  int64_t ns = std::max(static_cast<int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec, after_ns + 1);
  timespec times[2] = {{0, UTIME_OMIT}, {ns / kNanosecondsPerSecond, ns % kNanosecondsPerSecond}};
  return futimens(fd, times) == 0 ? 0 : errno;
}

}  // namespace

int StatHostFile(const std::filesystem::path& file, FileStamp* stamp) {
  struct stat info {};
  if (stat(file.c_str(), &info) != 0) {
    *stamp = FileStamp{};
    return errno == ENOENT ? 0 : errno;
  }
  *stamp = StampOf(info);
  return 0;
}

int ReadHostFile(const std::filesystem::path& file, std::string* content, FileStamp* stamp) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat info {};
  int error = fstat(fd, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
  if (error == 0 && stamp != nullptr) *stamp = StampOf(info);
  content->clear();
  char buffer[65536];
  while (error == 0) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n == 0) break;
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) content->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return error;
}

int WriteAll(int fd, std::string_view content) {
  for (size_t done = 0; done < content.size();) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno != EINTR) return errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  return 0;
}

int WriteFileAtomically(const std::filesystem::path& file, std::string_view content, bool durable,
                        const std::function<bool(const FileStamp&)>& before_rename) {
  std::filesystem::path temp = file;
  temp += ".tmp";
  FileStamp old;
  StatHostFile(file, &old);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = WriteAll(fd, content);
  if (error == 0) error = SetLaterTime(fd, old.modified_ns);
  if (error == 0 && durable && fsync(fd) != 0) error = errno;
  struct stat info {};
  if (error == 0 && fstat(fd, &info) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && before_rename && !before_rename(StampOf(info))) error = EAGAIN;
  if (error == 0 && rename(temp.c_str(), file.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temp.c_str());
    return error;
  }
  if (durable) {
    // The rename itself reaches the disk with the directory.
    int dir = open(file.parent_path().empty() ? "." : file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
  }
  return 0;
}

uint32_t Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return win::kErrorSuccess;
    case ENOENT:
      return win::kErrorFileNotFound;
    case ENOTDIR:
      return win::kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return win::kErrorAccessDenied;
    case EBADF:
      return win::kErrorInvalidHandle;
    case ENOMEM:
      return win::kErrorNotEnoughMemory;
    case EEXIST:
      return win::kErrorFileExists;
    case EINVAL:
      return win::kErrorInvalidParameter;
    case ENAMETOOLONG:
      return 206;  // ERROR_FILENAME_EXCED_RANGE
    case EMFILE:
    case ENFILE:
      return 4;  // ERROR_TOO_MANY_OPEN_FILES
    case ENOSPC:
    case EDQUOT:
      return 112;  // ERROR_DISK_FULL
    default:
      return 1117;  // ERROR_IO_DEVICE
  }
}

void WriteFailureNotice::Failed(const std::filesystem::path& file, int error) {
  failures_.fetch_add(1, std::memory_order_relaxed);
  if (reported_.exchange(true, std::memory_order_relaxed)) return;
  Say("cannot write " + FileErrorText(file, error) +
      " (the machine's files are not being updated; further failures are not reported until a write succeeds)");
}

void WriteFailureNotice::Say(const std::string& message) {
  // One write, so that lines of concurrent callers do not interleave.
  std::string line = std::string(program_invocation_short_name) + ": " + PrintableText(message) + "\n";
  fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace fenra::sim
