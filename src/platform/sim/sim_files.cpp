#include "platform/sim/sim_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/sim/host_file.h"
#include "platform/sim/last_error.h"
#include "platform/sim/text.h"
#include "platform/win_values.h"

namespace fenra::sim {
namespace {

constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kFileReadData = 0x1;
constexpr uint32_t kFileWriteData = 0x2;
constexpr uint32_t kFileAppendData = 0x4;
constexpr uint32_t kErrorNegativeSeek = 131;

bool HasRead(uint32_t access) { return access & (win::kGenericRead | kGenericAll | kFileReadData); }
bool HasWrite(uint32_t access) {
  return access & (win::kGenericWrite | kGenericAll | kFileWriteData | kFileAppendData);
}

// What an open claims of its file, one bit each: the access it has, and the
// access it refuses to every other open. A claim conflicts with the claim
// two bits away held by another open (reading with denying read, writing
// with denying write).
enum Claim { kReads = 1, kWrites = 2, kDeniesRead = 4, kDeniesWrite = 8 };

uint8_t ClaimsOf(uint32_t access, uint32_t share) {
  uint8_t claims = (HasRead(access) ? kReads : 0) | (HasWrite(access) ? kWrites : 0);
  // An open without read or write access takes no part in sharing at all.
  if (claims == 0) return 0;
  if (!(share & win::kFileShareRead)) claims |= kDeniesRead;
  if (!(share & win::kFileShareWrite)) claims |= kDeniesWrite;
  return claims;
}

uint8_t ConflictsOf(uint8_t claims) { return static_cast<uint8_t>(((claims & 3) << 2) | (claims >> 2)); }

// The cross-process side: claim i is a shared lock on the byte
// kShareLockBase + i, far beyond any data of the file.
constexpr off_t kShareLockBase = std::numeric_limits<off_t>::max() - 255;

struct flock ClaimLock(int claim_index, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kShareLockBase + claim_index;
  lock.l_len = 1;
  return lock;
}

bool OtherOpenClaims(int fd, uint8_t claims) {
  for (int i = 0; i < 4; ++i) {
    struct flock lock = ClaimLock(i, F_WRLCK);
    if ((claims & (1 << i)) && fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) return true;
  }
  return false;
}

void TakeClaims(int fd, uint8_t claims) {
  for (int i = 0; i < 4; ++i) {
    struct flock lock = ClaimLock(i, F_RDLCK);
    if (claims & (1 << i)) fcntl(fd, F_OFD_SETLK, &lock);  // best effort
  }
}

// Makes the test and the taking of claims one step against other processes.
class CrossProcessGate {
 public:
  explicit CrossProcessGate(int fd) : fd_(fd) {
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~CrossProcessGate() { flock(fd_, LOCK_UN); }
  CrossProcessGate(const CrossProcessGate&) = delete;
  CrossProcessGate& operator=(const CrossProcessGate&) = delete;

 private:
  int fd_;
};

using FileId = std::pair<dev_t, ino_t>;

void Fail(uint32_t error) { SetLastError(error); }

bool FailErrno(int error) {
  SetLastError(Win32ErrorFromErrno(error));
  return false;
}

// Opens the host file as `disposition` asks; *existed tells whether the
// file was there before. -1 with errno set on failure.
int OpenHostFile(const std::filesystem::path& host, int mode, uint32_t disposition, bool* existed) {
  bool may_create =
      disposition == win::kCreateNew || disposition == win::kCreateAlways || disposition == win::kOpenAlways;
  // Another process may create or remove the file in between; a few rounds
  // settle it.
  for (int round = 0; round < 8; ++round) {
    if (disposition != win::kCreateNew) {
      int fd = open(host.c_str(), mode | O_CLOEXEC);
      if (fd >= 0 || errno != ENOENT || !may_create) {
        *existed = true;
        return fd;
      }
    }
    int fd = open(host.c_str(), mode | O_CLOEXEC | O_CREAT | O_EXCL, 0666);
    if (fd >= 0 || errno != EEXIST || disposition == win::kCreateNew) {
      *existed = false;
      return fd;
    }
  }
  errno = EBUSY;
  return -1;
}

// The value of `key` in `section` of INI text, as the platform finds it:
// names compare without regard to case or surrounding blanks, the first
// section of that name is searched and its first line with that key
// decides; a line without '=' has no value. Blanks around the value and
// one pair of matching quotes are removed.
std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section, std::string_view key) {
  auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x1A; };
  auto trim = [&is_space](std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
  };
  section = trim(section);
  key = trim(key);
  enum { kBefore, kInside, kAfter } state = kBefore;
  while (!text.empty() && state != kAfter) {
    size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = trim(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.empty() || line[0] == ';') continue;
    size_t close = line.rfind(']');
    if (line[0] == '[' && close != std::string_view::npos) {
      bool match = EqualsIgnoreCase(trim(line.substr(1, close - 1)), section);
      state = state == kBefore ? (match ? kInside : kBefore) : kAfter;
      continue;
    }
    if (state != kInside) continue;
    size_t equals = line.find('=');
    if (!EqualsIgnoreCase(trim(line.substr(0, equals)), key)) continue;
    if (equals == std::string_view::npos) return std::nullopt;
    std::string_view value = trim(line.substr(equals + 1));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
      value = value.substr(1, value.size() - 2);
    return std::string(value);
  }
  return std::nullopt;
}

// The number in a profile value, as the platform's string-to-integer
// conversion with base 0 reads it: leading blanks and controls skipped, an
// optional sign, then decimal digits up to the first non-digit, the total
// wrapping modulo 2^32 and negated for '-'. A lower-case "0x", "0o" or
// "0b" prefix selects base 16, 8 or 2: current Wine reads hex this way,
// older Wine and the documentation say nothing of it, so base 0 was chosen.
uint32_t ParseProfileInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint32_t base = 10;
  if (i + 1 < text.size() && text[i] == '0') {
    char prefix = text[i + 1];
    base = prefix == 'x' ? 16 : prefix == 'o' ? 8 : prefix == 'b' ? 2 : 10;
    if (base != 10) i += 2;
  }
  uint32_t total = 0;
  for (; i < text.size(); ++i) {
    char c = AsciiLower(text[i]);
    uint32_t digit = c >= '0' && c <= '9' ? static_cast<uint32_t>(c - '0')
                     : c >= 'a' && c <= 'z' ? static_cast<uint32_t>(c - 'a' + 10)
                                            : 99;
    if (digit >= base) break;
    total = total * base + digit;
  }
  return negative ? 0u - total : total;
}

}  // namespace

// The opens of one simulated process, by host file.
class SimFiles::OpenTable {
 public:
  struct Entry {
    uint64_t serial;
    uint8_t claims;
  };

  std::mutex mutex;
  std::map<FileId, std::vector<Entry>> files;
  uint64_t next_serial = 1;

  void Remove(const FileId& id, uint64_t serial) {
    std::lock_guard lock(mutex);
    auto it = files.find(id);
    if (it == files.end()) return;
    std::erase_if(it->second, [serial](const Entry& entry) { return entry.serial == serial; });
    if (it->second.empty()) files.erase(it);
  }
};

namespace {

class SimFile : public File {
 public:
  SimFile(int fd, uint32_t access, FileId id, std::shared_ptr<SimFiles::OpenTable> table, uint64_t serial)
      : fd_(fd), access_(access), id_(id), table_(std::move(table)), serial_(serial) {}
  ~SimFile() override {
    table_->Remove(id_, serial_);
    close(fd_);  // also drops this open's cross-process claims
  }
  SimFile(const SimFile&) = delete;
  SimFile& operator=(const SimFile&) = delete;

  int fd() const { return fd_; }
  uint32_t access() const { return access_; }
  // The file pointer of this handle; guarded by `mutex`.
  std::mutex mutex;
  uint64_t position = 0;

 private:
  const int fd_;
  const uint32_t access_;
  const FileId id_;
  const std::shared_ptr<SimFiles::OpenTable> table_;
  const uint64_t serial_;
};

SimFile* AsSimFile(File& file) {
  auto* sim_file = dynamic_cast<SimFile*>(&file);
  if (sim_file == nullptr) Fail(win::kErrorInvalidHandle);
  return sim_file;
}

}  // namespace

SimFiles::SimFiles(const MachinePaths& paths, System& system, Sharing sharing)
    : paths_(paths), system_(system), sharing_(sharing), opens_(std::make_shared<OpenTable>()) {}

FilePtr SimFiles::CreateFile(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) {
  return Open(opens_, path, access, share, disposition);
}

FilePtr SimFiles::OpenAsOtherProcess(const std::string& path, uint32_t access, uint32_t share,
                                     uint32_t disposition) {
  return Open(std::make_shared<OpenTable>(), path, access, share, disposition);
}

FilePtr SimFiles::Open(const std::shared_ptr<OpenTable>& table, const std::string& path, uint32_t access,
                       uint32_t share, uint32_t disposition) {
  if (disposition < win::kCreateNew || disposition > win::kTruncateExisting ||
      (disposition == win::kTruncateExisting && !HasWrite(access))) {
    Fail(win::kErrorInvalidParameter);
    return nullptr;
  }
  uint32_t error = 0;
  std::optional<std::filesystem::path> host = paths_.ToHost(path, system_.GetCurrentDirectory(), &error);
  if (!host) {
    Fail(error);
    return nullptr;
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(host->parent_path(), ec)) {
    Fail(win::kErrorPathNotFound);
    return nullptr;
  }

  int mode = HasWrite(access) ? O_RDWR : O_RDONLY;
  bool existed = false;
  int fd = OpenHostFile(*host, mode, disposition, &existed);
  // Read access is only wanted for the cross-process claims; a file that
  // may be written but not read is still opened.
  if (fd < 0 && errno == EACCES && mode == O_RDWR && !HasRead(access))
    fd = OpenHostFile(*host, O_WRONLY, disposition, &existed);
  if (fd < 0) {
    FailErrno(errno);
    return nullptr;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    close(fd);
    Fail(win::kErrorAccessDenied);
    return nullptr;
  }

  FileId id{info.st_dev, info.st_ino};
  uint8_t claims = ClaimsOf(access, share);
  std::unique_ptr<SimFile> file;
  {
    std::lock_guard lock(table->mutex);
    std::vector<OpenTable::Entry>& entries = table->files[id];
    bool refused = false;
    for (const OpenTable::Entry& entry : entries) refused = refused || (ConflictsOf(claims) & entry.claims);
    if (!refused && claims != 0 && sharing_ == Sharing::kAcrossProcesses) {
      CrossProcessGate gate(fd);
      refused = OtherOpenClaims(fd, ConflictsOf(claims));
      if (!refused) TakeClaims(fd, claims);
    }
    if (refused) {
      if (entries.empty()) table->files.erase(id);
      close(fd);
      Fail(win::kErrorSharingViolation);
      return nullptr;
    }
    uint64_t serial = table->next_serial++;
    entries.push_back({serial, claims});
    file = std::make_unique<SimFile>(fd, access, id, table, serial);
  }

  // Only an open that passed the share check may truncate the file.
  if (existed && (disposition == win::kCreateAlways || disposition == win::kTruncateExisting) &&
      ftruncate(fd, 0) != 0) {
    FailErrno(errno);
    return nullptr;
  }
  bool reports_existing = existed && (disposition == win::kCreateAlways || disposition == win::kOpenAlways);
  SetLastError(reports_existing ? win::kErrorAlreadyExists : win::kErrorSuccess);
  return file;
}

bool SimFiles::GetFileSize(File& file, uint64_t* size) {
  SimFile* sim_file = AsSimFile(file);
  if (sim_file == nullptr) return false;
  struct stat info {};
  if (fstat(sim_file->fd(), &info) != 0) return FailErrno(errno);
  if (size) *size = static_cast<uint64_t>(info.st_size);
  return true;
}

bool SimFiles::SetFilePointer(File& file, int64_t distance, uint32_t method, uint64_t* position) {
  SimFile* sim_file = AsSimFile(file);
  if (sim_file == nullptr) return false;
  std::lock_guard lock(sim_file->mutex);
  int64_t base = 0;
  if (method == win::kFileCurrent) {
    base = static_cast<int64_t>(sim_file->position);
  } else if (method == win::kFileEnd) {
    struct stat info {};
    if (fstat(sim_file->fd(), &info) != 0) return FailErrno(errno);
    base = info.st_size;
  } else if (method != win::kFileBegin) {
    Fail(win::kErrorInvalidParameter);
    return false;
  }
  int64_t target = 0;
  if (__builtin_add_overflow(base, distance, &target)) {
    Fail(win::kErrorInvalidParameter);
    return false;
  }
  if (target < 0) {
    Fail(kErrorNegativeSeek);
    return false;
  }
  sim_file->position = static_cast<uint64_t>(target);
  if (position) *position = sim_file->position;
  return true;
}

bool SimFiles::WriteFile(File& file, const void* data, uint32_t size, uint32_t* written) {
  if (written) *written = 0;
  SimFile* sim_file = AsSimFile(file);
  if (sim_file == nullptr) return false;
  if (!HasWrite(sim_file->access())) {
    Fail(win::kErrorAccessDenied);
    return false;
  }
  std::lock_guard lock(sim_file->mutex);
  const auto* bytes = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(sim_file->fd(), bytes + done, size - done, static_cast<off_t>(sim_file->position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      sim_file->position += done;
      if (written) *written = done;
      return FailErrno(n < 0 ? errno : ENOSPC);
    }
    done += static_cast<uint32_t>(n);
  }
  sim_file->position += done;
  if (written) *written = done;
  return true;
}

bool SimFiles::ReadFile(File& file, void* data, uint32_t size, uint32_t* read) {
  if (read) *read = 0;
  SimFile* sim_file = AsSimFile(file);
  if (sim_file == nullptr) return false;
  if (!HasRead(sim_file->access())) {
    Fail(win::kErrorAccessDenied);
    return false;
  }
  std::lock_guard lock(sim_file->mutex);
  auto* bytes = static_cast<char*>(data);
  uint32_t done = 0;
  while (done < size) {
    ssize_t n = pread(sim_file->fd(), bytes + done, size - done, static_cast<off_t>(sim_file->position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      sim_file->position += done;
      if (read) *read = done;
      return FailErrno(errno);
    }
    if (n == 0) break;  // end of file: success with what was there
    done += static_cast<uint32_t>(n);
  }
  sim_file->position += done;
  if (read) *read = done;
  return true;
}

uint32_t SimFiles::GetPrivateProfileInt(const std::string& section, const std::string& key, int32_t default_value,
                                        const std::string& path) {
  std::string full_path = path;
  if (path.find_first_of("\\/") == std::string::npos) {
    std::string windows_dir = system_.ExpandEnvironmentStrings("%SystemRoot%");
    if (windows_dir.find('%') != std::string::npos) windows_dir = "C:\\Windows";
    full_path = windows_dir + "\\" + path;
  }
  auto fallback = static_cast<uint32_t>(default_value);
  // The platform reads the file with both kinds of sharing allowed.
  FilePtr file = CreateFile(full_path, win::kGenericRead, win::kFileShareRead | win::kFileShareWrite,
                            win::kOpenExisting);
  if (!file) return fallback;
  std::string bytes;
  char buffer[4096];
  uint32_t count = 0;
  while (ReadFile(*file, buffer, sizeof(buffer), &count) && count > 0) bytes.append(buffer, count);

  std::string text;
  if (!DecodeTextFile(bytes, &text)) return fallback;
  std::optional<std::string> value = FindProfileValue(text, section, key);
  // A key that is present but empty gives the default too.
  if (!value || value->empty()) return fallback;
  return ParseProfileInt(*value);
}

}  // namespace fenra::sim
