#include "platform/sim/sim_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <system_error>
#include <typeinfo>
#include <utility>
#include <vector>

#include "platform/sim/host_file.h"
#include "platform/sim/last_error.h"
#include "platform/sim/text.h"
#include "platform/win_values.h"
#include "support/thread_annotations.h"

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

// Share modes as byte-range locks of the open's own open file description
// (F_OFD_SETLK): they bind two opens of one process exactly as two opens
// of different processes, and go with the open's close or its process's
// death. Each kind of access (read, write) has a range of kSlots bytes far
// beyond any data, and an open locks in it, by what it claims of that kind:
//   - access, shared with others: a write lock on one byte of its own (a
//     slot), so such opens never meet each other;
//   - no access, denied to others: a read lock on the whole range;
//   - access, denied to others: a write lock on the whole range.
// Two opens then collide exactly when one has an access the other denies,
// and the test and the taking are one call. The two ranges do not touch,
// so the kernel never merges one open's locks of the two kinds.
// Slots are plenty: no process holds a million opens of one file.
constexpr off_t kSlots = off_t{1} << 20;
constexpr off_t kShareLockBase = std::numeric_limits<off_t>::max() - 2 * (kSlots + 1) + 1;

off_t RangeOf(int kind) { return kShareLockBase + kind * (kSlots + 1); }

enum class Locked { kTaken, kRefused, kUnavailable };

Locked SetLock(int fd, short type, off_t start, off_t length) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = length;
  if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return Locked::kTaken;
  return errno == EAGAIN || errno == EACCES ? Locked::kRefused : Locked::kUnavailable;
}

// A slot of `kind` for an open that shares the access it has. Slots are
// handed out round the range from a point that differs between processes,
// so the first try nearly always succeeds.
Locked TakeSlot(int fd, int kind) {
  static std::atomic<uint32_t> next_slot{static_cast<uint32_t>(getpid()) * 37u};
  uint32_t first = next_slot.fetch_add(1, std::memory_order_relaxed);
  for (off_t k = 0; k < kSlots; ++k) {
    off_t slot = RangeOf(kind) + static_cast<off_t>((first + k) % kSlots);
    Locked result = SetLock(fd, F_WRLCK, slot, 1);
    if (result != Locked::kRefused) return result;
    struct flock holder {};
    holder.l_type = F_WRLCK;
    holder.l_whence = SEEK_SET;
    holder.l_start = slot;
    holder.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &holder) != 0) return Locked::kUnavailable;
    // A lock on the whole range: some open denies this access.
    if (holder.l_type != F_UNLCK && holder.l_len != 1) return Locked::kRefused;
  }
  return Locked::kRefused;  // every slot held: cannot happen in practice
}

Locked TakeClaims(int fd, uint8_t claims) {
  for (int kind = 0; kind < 2; ++kind) {
    bool access = claims & (kind == 0 ? kReads : kWrites);
    bool denies = claims & (kind == 0 ? kDeniesRead : kDeniesWrite);
    Locked result = Locked::kTaken;
    if (access && denies) {
      result = SetLock(fd, F_WRLCK, RangeOf(kind), kSlots);
    } else if (denies) {
      result = SetLock(fd, F_RDLCK, RangeOf(kind), kSlots);
    } else if (access) {
      result = TakeSlot(fd, kind);
    }
    if (result == Locked::kUnavailable) SetLock(fd, F_UNLCK, kShareLockBase, 2 * (kSlots + 1));
    if (result != Locked::kTaken) return result;
  }
  return Locked::kTaken;
}

using FileId = std::pair<dev_t, ino_t>;

void Fail(uint32_t error) { SetLastError(error); }

bool FailErrno(int error) {
  SetLastError(Win32ErrorFromErrno(error));
  return false;
}

// Opens the host file for reading and writing where the host allows it,
// since the share-mode locks need both; else with the access asked for.
// A directory fails with EISDIR. -1 with errno set on failure.
int OpenHost(const char* host, uint32_t access, int flags) {
  int fd = open(host, O_RDWR | O_CLOEXEC | flags, 0666);
  if (fd >= 0 || (errno != EACCES && errno != EPERM && errno != EROFS && errno != ETXTBSY)) return fd;
  if (HasRead(access) && HasWrite(access)) return -1;
  return open(host, (HasWrite(access) ? O_WRONLY : O_RDONLY) | O_CLOEXEC | flags, 0666);
}

// Opens the host file as `disposition` asks; *existed tells whether the
// file was there before. `flags` are added to the host's open. -1 with errno
// set on failure.
int OpenHostFile(const std::filesystem::path& host, uint32_t access, uint32_t disposition, int flags, bool* existed) {
  bool may_create =
      disposition == win::kCreateNew || disposition == win::kCreateAlways || disposition == win::kOpenAlways;
  // Another process may create or remove the file in between; a few rounds
  // settle it.
  for (int round = 0; round < 8; ++round) {
    if (disposition != win::kCreateNew) {
      int fd = OpenHost(host.c_str(), access, flags);
      if (fd >= 0 || errno != ENOENT || !may_create) {
        *existed = true;
        return fd;
      }
    }
    int fd = OpenHost(host.c_str(), access, O_CREAT | O_EXCL | flags);
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

// The opens of one simulated process, by host file, where the host's locks
// are not used or not available: share modes then bind only these opens.
class SimFiles::OpenTable {
 public:
  struct Entry {
    uint64_t serial;
    uint8_t claims;
  };

  Mutex mutex;
  std::map<FileId, std::vector<Entry>> files FENRA_GUARDED_BY(mutex);
  uint64_t next_serial FENRA_GUARDED_BY(mutex) = 1;

  // A serial for a new entry, or 0 when the claims collide with an open's.
  uint64_t Add(const FileId& id, uint8_t claims) {
    MutexLock lock(mutex);
    std::vector<Entry>& entries = files[id];
    for (const Entry& entry : entries) {
      if (ConflictsOf(claims) & entry.claims) return 0;
    }
    entries.push_back({next_serial, claims});
    return next_serial++;
  }

  void Remove(const FileId& id, uint64_t serial) {
    MutexLock lock(mutex);
    auto it = files.find(id);
    if (it == files.end()) return;
    std::erase_if(it->second, [serial](const Entry& entry) { return entry.serial == serial; });
    if (it->second.empty()) files.erase(it);
  }
};

// Owners other than LocalSystem, by host file.
class SimFiles::Owners {
 public:
  void Set(const FileId& id, const std::string& sid) {
    MutexLock lock(mutex_);
    owners_[id] = sid;
  }
  // LocalSystem, the Administrators group, or an account nothing says of:
  // one of the machine's own files.
  bool Trusted(const FileId& id) {
    MutexLock lock(mutex_);
    if (owners_.empty()) return true;
    auto found = owners_.find(id);
    return found == owners_.end() || found->second == "S-1-5-18" || found->second == "S-1-5-32-544";
  }

 private:
  Mutex mutex_;
  std::map<FileId, std::string> owners_ FENRA_GUARDED_BY(mutex_);
};

namespace {

class SimFile final : public File {
 public:
  SimFile(int fd, uint32_t access, bool sole_writer) : fd_(fd), access_(access), sole_writer_(sole_writer) {}
  ~SimFile() override {
    if (table_) table_->Remove(id_, serial_);
    close(fd_);  // also drops this open's share-mode locks
  }
  SimFile(const SimFile&) = delete;
  SimFile& operator=(const SimFile&) = delete;

  void Enter(std::shared_ptr<SimFiles::OpenTable> table, FileId id, uint64_t serial) {
    table_ = std::move(table);
    id_ = id;
    serial_ = serial;
  }

  int fd() const { return fd_; }
  uint32_t access() const { return access_; }

  // The size of the host file. Only this open can change the size of a file
  // it holds for writing while it denies writing to everyone else, so it
  // remembers the size it saw and its own writes instead of asking again.
  bool Size(uint64_t* size) FENRA_REQUIRES(mutex) {
    if (known_size_) {
      *size = *known_size_;
      return true;
    }
    // The end of a regular file is its size; reads and writes do not use
    // the descriptor's offset, and lseek costs less than fstat.
    off_t end = lseek(fd_, 0, SEEK_END);
    if (end < 0) return FailErrno(errno);
    *size = static_cast<uint64_t>(end);
    if (sole_writer_) known_size_ = *size;
    return true;
  }
  void Wrote(uint64_t end) FENRA_REQUIRES(mutex) {
    if (known_size_ && end > *known_size_) known_size_ = end;
    opened_size_.reset();
  }
  void Truncated() FENRA_REQUIRES(mutex) {
    if (sole_writer_) known_size_ = 0;
    if (opened_size_) opened_size_ = 0;
  }
  // The size the open itself saw (a trusted open looks at the file): as
  // fresh as one asked for at once, so the first GetFileSize takes it.
  void Opened(uint64_t size) FENRA_REQUIRES(mutex) { opened_size_ = size; }
  std::optional<uint64_t> TakeOpenedSize() FENRA_REQUIRES(mutex) { return std::exchange(opened_size_, std::nullopt); }
  void Forget() FENRA_REQUIRES(mutex) { known_size_.reset(); }
  void Remember(uint64_t size) FENRA_REQUIRES(mutex) {
    if (sole_writer_) known_size_ = size;
  }

  Mutex mutex;
  uint64_t position FENRA_GUARDED_BY(mutex) = 0;

 private:
  const int fd_;
  const uint32_t access_;
  const bool sole_writer_;
  std::optional<uint64_t> known_size_ FENRA_GUARDED_BY(mutex);
  std::optional<uint64_t> opened_size_ FENRA_GUARDED_BY(mutex);
  std::shared_ptr<SimFiles::OpenTable> table_;
  FileId id_{};
  uint64_t serial_ = 0;
};

// SimFile is final: comparing the dynamic type is all a cast needs, and
// costs less than dynamic_cast.
SimFile* AsSimFile(File& file) {
  if (typeid(file) == typeid(SimFile)) return static_cast<SimFile*>(&file);
  Fail(win::kErrorInvalidHandle);
  return nullptr;
}

}  // namespace

SimFiles::SimFiles(const MachinePaths& paths, System& system, Sharing sharing)
    : paths_(paths),
      system_(system),
      sharing_(sharing),
      opens_(std::make_shared<OpenTable>()),
      owners_(std::make_shared<Owners>()) {}

FilePtr SimFiles::CreateFile(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) {
  return Open(opens_, path, access, share, disposition);
}

FilePtr SimFiles::CreateTrustedFile(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) {
  return Open(opens_, path, access, share, disposition, true);
}

bool SimFiles::SetOwner(const std::string& path, const std::string& sid) {
  uint32_t error = 0;
  std::string current_dir = MachinePaths::NeedsCurrentDirectory(path) ? system_.GetCurrentDirectory() : "";
  std::optional<std::filesystem::path> host = paths_.ToHost(path, current_dir, &error);
  struct stat info {};
  if (!host || stat(host->c_str(), &info) != 0) return false;
  owners_->Set({info.st_dev, info.st_ino}, sid);
  return true;
}

FilePtr SimFiles::OpenAsOtherProcess(const std::string& path, uint32_t access, uint32_t share,
                                     uint32_t disposition) {
  return Open(std::make_shared<OpenTable>(), path, access, share, disposition);
}

FilePtr SimFiles::Open(const std::shared_ptr<OpenTable>& table, const std::string& path, uint32_t access,
                       uint32_t share, uint32_t disposition, bool trusted) {
  if (disposition < win::kCreateNew || disposition > win::kTruncateExisting ||
      (disposition == win::kTruncateExisting && !HasWrite(access))) {
    Fail(win::kErrorInvalidParameter);
    return nullptr;
  }
  std::string current_dir = MachinePaths::NeedsCurrentDirectory(path) ? system_.GetCurrentDirectory() : "";
  uint32_t error = 0;
  int fd = -1;
  bool existed = false;
  // A symbolic link is a reparse point: a trusted open does not follow it.
  const int flags = trusted ? O_NOFOLLOW : 0;
  // An existing file under its name as given, in a directory found before,
  // costs the open alone; everything else takes the full look.
  if (disposition != win::kCreateNew) {
    std::optional<MachinePaths::Location> location = paths_.ToHostUnchecked(path, current_dir, &error);
    if (!location || !location->found) {
      Fail(location ? win::kErrorPathNotFound : error);
      return nullptr;
    }
    if (!location->name.empty()) {
      std::string host = std::move(location->directory);
      host += '/';
      host += location->name;
      fd = OpenHost(host.c_str(), access, flags);
    }
    existed = fd >= 0;
  }
  if (fd < 0) {
    std::optional<std::filesystem::path> host = paths_.ToHost(path, current_dir, &error);
    if (!host) {
      Fail(error);
      return nullptr;
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(host->parent_path(), ec)) {
      Fail(win::kErrorPathNotFound);
      return nullptr;
    }
    fd = OpenHostFile(*host, access, disposition, flags, &existed);
  }
  if (fd < 0) {
    if (trusted && errno == ELOOP) errno = EACCES;  // a symbolic link, refused
    FailErrno(errno);  // a directory (EISDIR) is ERROR_ACCESS_DENIED
    return nullptr;
  }
  std::optional<uint64_t> opened_size;
  if (trusted) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_nlink != 1 || !owners_->Trusted({info.st_dev, info.st_ino})) {
      close(fd);
      Fail(win::kErrorAccessDenied);
      return nullptr;
    }
    opened_size = static_cast<uint64_t>(info.st_size);
  }

  uint8_t claims = ClaimsOf(access, share);
  Locked locked = claims != 0 && sharing_ == Sharing::kAcrossProcesses ? TakeClaims(fd, claims) : Locked::kUnavailable;
  auto file = std::make_unique<SimFile>(fd, access, locked == Locked::kTaken && (claims & kWrites) &&
                                                        (claims & kDeniesWrite));
  if (opened_size) {
    MutexLock lock(file->mutex);
    file->Opened(*opened_size);
  }
  if (claims != 0 && locked == Locked::kUnavailable) {
    struct stat info {};
    uint64_t serial = fstat(fd, &info) == 0 ? table->Add({info.st_dev, info.st_ino}, claims) : 0;
    if (serial != 0) file->Enter(table, {info.st_dev, info.st_ino}, serial);
    if (serial == 0) locked = Locked::kRefused;
  }
  if (locked == Locked::kRefused) {
    Fail(win::kErrorSharingViolation);
    return nullptr;
  }

  // Only an open that passed the share check may truncate the file.
  if (existed && (disposition == win::kCreateAlways || disposition == win::kTruncateExisting)) {
    if (ftruncate(fd, 0) != 0) {
      FailErrno(errno);
      return nullptr;
    }
    MutexLock lock(file->mutex);
    file->Truncated();
  }
  bool reports_existing = existed && (disposition == win::kCreateAlways || disposition == win::kOpenAlways);
  SetLastError(reports_existing ? win::kErrorAlreadyExists : win::kErrorSuccess);
  return file;
}

bool SimFiles::GetFileSize(File& file, uint64_t* size) {
  SimFile* sim_file = AsSimFile(file);
  if (sim_file == nullptr) return false;
  MutexLock lock(sim_file->mutex);
  // Asked for, the size is looked at afresh (or was, by the open).
  sim_file->Forget();
  uint64_t value = 0;
  if (std::optional<uint64_t> opened = sim_file->TakeOpenedSize()) {
    value = *opened;
    sim_file->Remember(value);
  } else if (!sim_file->Size(&value)) {
    return false;
  }
  if (size) *size = value;
  return true;
}

bool SimFiles::SetFilePointer(File& file, int64_t distance, uint32_t method, uint64_t* position) {
  SimFile* sim_file = AsSimFile(file);
  if (sim_file == nullptr) return false;
  MutexLock lock(sim_file->mutex);
  int64_t base = 0;
  if (method == win::kFileCurrent) {
    base = static_cast<int64_t>(sim_file->position);
  } else if (method == win::kFileEnd) {
    uint64_t size = 0;
    if (!sim_file->Size(&size)) return false;
    base = static_cast<int64_t>(size);
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
  MutexLock lock(sim_file->mutex);
  const auto* bytes = static_cast<const char*>(data);
  uint32_t done = 0;
  bool ok = true;
  while (done < size) {
    ssize_t n = pwrite(sim_file->fd(), bytes + done, size - done, static_cast<off_t>(sim_file->position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = FailErrno(n < 0 ? errno : ENOSPC);
      break;
    }
    done += static_cast<uint32_t>(n);
  }
  sim_file->position += done;
  if (done > 0) sim_file->Wrote(sim_file->position);
  if (written) *written = done;
  return ok;
}

bool SimFiles::ReadFile(File& file, void* data, uint32_t size, uint32_t* read) {
  if (read) *read = 0;
  SimFile* sim_file = AsSimFile(file);
  if (sim_file == nullptr) return false;
  if (!HasRead(sim_file->access())) {
    Fail(win::kErrorAccessDenied);
    return false;
  }
  MutexLock lock(sim_file->mutex);
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
  return ProfileIntFromFile(bytes, section, key, default_value);
}

uint32_t ProfileIntFromFile(std::string_view bytes, std::string_view section, std::string_view key,
                            int32_t default_value) {
  auto fallback = static_cast<uint32_t>(default_value);
  std::string text;
  if (!DecodeTextFile(bytes, &text)) return fallback;
  std::optional<std::string> value = FindProfileValue(text, section, key);
  // A key that is present but empty gives the default too.
  if (!value || value->empty()) return fallback;
  return ParseProfileInt(*value);
}

}  // namespace fenra::sim
