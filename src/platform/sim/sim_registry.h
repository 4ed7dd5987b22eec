#pragma once
// The registry of the simulated machine: HKEY_LOCAL_MACHINE and
// HKEY_CLASSES_ROOT, kept in memory and in one .reg file that every process
// of the machine shares.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/sim/host_file.h"
#include "platform/sim/reg_file.h"
#include "support/thread_annotations.h"

namespace fenra::sim {

struct RegistryOptions {
  // Every change is flushed to disk (fsync of the file and its directory)
  // before the call returns, so it survives a crash of the host. Without,
  // a change still survives the end of the process at any moment, but the
  // host's crash may lose it. Machines on virtual time do without.
  bool durable = true;
  // Told when the file cannot be written. May be null.
  WriteFailureNotice* notice = nullptr;
  // How long a key open trusts the file as last compared before it compares
  // it again (one stat): a person's edit is seen by every key open that
  // starts this long after it was saved. Changes always compare the file.
  std::chrono::nanoseconds edit_check_interval = std::chrono::milliseconds(200);
  // The clock of that interval; the host's monotonic clock when empty.
  std::function<std::chrono::steady_clock::time_point()> clock = {};
};

// Answers as the Win32 registry functions do, error codes included.
//
// Several processes may share the file: every change is a load-modify-write
// under an advisory lock (flock on "<file>.lock"), and first takes in what
// another process or a person wrote since this one last read or wrote the
// file, so no change is lost. Reads take in the file too: every read when
// another registry on the file changed it (they count their changes in the
// lock file, which every process maps), and OpenKey also when the file
// differs from the one last read or written (a person's edit; compared at
// most once per `edit_check_interval`, so that a key open costs no system
// call in a burst of them). Reads never wait for a write's file work: they
// are served from memory under a shared lock held only while memory is
// looked at or changed.
// A file that turns unreadable while in use keeps the last contents read,
// and changes are refused with ERROR_BADDB until it is repaired, so it is
// never replaced. Thread-safe; never waits on the kernel.
class SimRegistry : public Registry {
 public:
  // Loads `file`; a missing file is an empty registry, created at the first
  // change. Throws std::runtime_error naming the file (and the line) when it
  // cannot be read or parsed; such a file is never replaced.
  explicit SimRegistry(std::filesystem::path file, RegistryOptions options = {});
  ~SimRegistry() override;
  SimRegistry(const SimRegistry&) = delete;
  SimRegistry& operator=(const SimRegistry&) = delete;

  int32_t OpenKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key) override;
  int32_t CreateKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key,
                    uint32_t* disposition) override;
  int32_t QueryValue(RegKey& key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size) override;
  int32_t SetValue(RegKey& key, const char* name, uint32_t type, const uint8_t* data, uint32_t size) override;
  int32_t DeleteValue(RegKey& key, const char* name) override;
  int32_t DeleteKey(Hive hive, const std::string& path) override;

  // For tests and for setting up a machine: write a REG_SZ (with its
  // terminator) or a REG_DWORD, creating the key as needed; read one back
  // (nullopt when missing or of another type; a text ends at its first NUL).
  int32_t SetString(Hive hive, const std::string& path, const std::string& name, const std::string& text);
  int32_t SetDword(Hive hive, const std::string& path, const std::string& name, uint32_t value);
  std::optional<std::string> GetString(Hive hive, const std::string& path, const std::string& name);
  std::optional<uint32_t> GetDword(Hive hive, const std::string& path, const std::string& name);
  // Any value as given, type and bytes (a text gets no terminator it does
  // not hold), creating the key; read back as RegQueryValueExA hands it
  // over (none when the key or the value is missing).
  int32_t SetRaw(Hive hive, const std::string& path, const std::string& name, uint32_t type,
                 const std::vector<uint8_t>& data);
  std::optional<RegValue> GetRaw(Hive hive, const std::string& path, const std::string& name);

  // Runs `changes` holding the file's lock, with the file written once,
  // when they are done, instead of after each change (setting up a
  // machine); changes made meanwhile by other threads join it. 0, or the
  // write's Win32 error: then the registry goes back to what the file
  // holds, and keys still open from before point at the discarded contents.
  int32_t Batch(const std::function<void()>& changes);

 private:
  class Key;
  // Applies one change to memory (mutex_ held exclusively; a lambda says
  // so with FENRA_REQUIRES(mutex_)): returns 0 or a Win32 error, and sets
  // *undo when it changed something.
  using Edit = std::function<int32_t(std::function<void()>* undo)>;

  // The deepest existing key along `names` in *node; the number of names
  // that exist.
  size_t Walk(Hive hive, const std::vector<std::string>& names, std::shared_ptr<RegNode>* node)
      FENRA_REQUIRES_SHARED(mutex_);
  int32_t CheckKey(RegKey& key, uint32_t needed, Key** checked);
  // Runs `edit` on the registry as the file holds it now and writes the
  // file when it changed something; on failure memory is undone, so that
  // it never holds what the disk does not.
  int32_t Change(const Edit& edit);
  // Before a read: takes in the file when another registry changed it, or
  // (with `check_file`) when it differs from the one last read or written.
  void RefreshForRead(bool check_file) FENRA_EXCLUDES(write_mutex_, mutex_);
  // Whether a key open is to compare the file now: the interval has passed
  // since the last compare, and no other thread is comparing it.
  bool FileCheckDue();
  // The count of changes written by every registry on the file (0 without
  // a lock file).
  uint64_t Generation() const;
  // Takes in the file when it changed since this registry last read or
  // wrote it (or always, with `force`). 0, or ERROR_BADDB while the file
  // cannot be read or parsed.
  int32_t Refresh(bool force = false) FENRA_REQUIRES(write_mutex_) FENRA_EXCLUDES(mutex_);
  // Writes memory to the file; the file lock held too. 0, an errno, or
  // EAGAIN when the file was replaced without the lock since it was last
  // read.
  int Commit() FENRA_REQUIRES(write_mutex_) FENRA_EXCLUDES(mutex_);
  // The Win32 code of a write's errno, told to the notice.
  int32_t Report(int error);

  const std::filesystem::path file_;
  const RegistryOptions options_;
  int lock_fd_ = -1;  // -1: no lock file (a directory that cannot be written)
  uint64_t* generation_ = nullptr;  // mapped from the lock file, or null
  // One load-modify-write of this process at a time. Taken before mutex_.
  Mutex write_mutex_ FENRA_ACQUIRED_BEFORE(mutex_);
  // Guards what follows: shared to look, exclusive to change. The stamps
  // change with write_mutex_ held too.
  SharedMutex mutex_;
  RegHives hives_ FENRA_GUARDED_BY(mutex_);
  FileStamp stamp_ FENRA_GUARDED_BY(mutex_);  // the file as last read or written here
  // The file as last found unreadable.
  std::optional<FileStamp> broken_stamp_ FENRA_GUARDED_BY(mutex_);
  // Generation() as of the last read or write.
  uint64_t seen_generation_ FENRA_GUARDED_BY(mutex_) = 0;
  // When a key open last compared the file, on the options' clock (ns since
  // its epoch), or kNeverChecked.
  static constexpr int64_t kNeverChecked = INT64_MIN;
  std::atomic<int64_t> last_file_check_{kNeverChecked};
  int batch_depth_ FENRA_GUARDED_BY(mutex_) = 0;
  bool unsaved_ FENRA_GUARDED_BY(mutex_) = false;
};

}  // namespace fenra::sim
