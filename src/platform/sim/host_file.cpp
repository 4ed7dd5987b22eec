#include "platform/sim/host_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/win_values.h"

namespace fenra::sim {
namespace {

// Temporary files of one process never collide: one writer at a time.
std::mutex& AtomicWriteMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

int ReadHostFile(const std::filesystem::path& file, std::string* content) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat info {};
  int error = fstat(fd, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
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

int WriteFileAtomically(const std::filesystem::path& file, std::string_view content) {
  std::lock_guard lock(AtomicWriteMutex());
  std::filesystem::path temp = file;
  temp += "." + std::to_string(getpid()) + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = WriteAll(fd, content);
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.c_str(), file.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temp.c_str());
    return error;
  }
  // The rename itself reaches the disk with the directory.
  int dir = open(file.parent_path().empty() ? "." : file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
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

}  // namespace fenra::sim
