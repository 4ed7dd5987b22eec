#include "platform/sim/sim_registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/sim/text.h"

namespace fenra::sim {
namespace {

constexpr uint32_t kErrorNoaccess = 998;
constexpr int32_t kErrorBadDb = 1009;  // ERROR_BADDB
constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kGenericAll = 0x10000000;
// A change is tried again this often when the file is replaced, without
// the lock, while the change is being written.
constexpr int kAttempts = 3;

uint32_t GrantedAccess(uint32_t sam) {
  uint32_t granted = sam;
  if (sam & (kMaximumAllowed | kGenericAll)) granted |= win::kKeyAllAccess;
  if (sam & win::kGenericRead) granted |= win::kKeyRead;
  if (sam & win::kGenericWrite) granted |= win::kKeyWrite;
  return granted;
}

// The names of a subkey path. Names are C strings to the platform, and
// texts of the ANSI code page; empty names (a trailing or doubled
// backslash) are skipped, but a leading backslash is refused.
int32_t SplitPath(const std::string& path, std::vector<std::string>* names) {
  std::string_view text(path.c_str());
  if (!text.empty() && text[0] == '\\') return win::kErrorBadPathname;
  while (!text.empty()) {
    size_t end = std::min(text.find('\\'), text.size());
    if (end > 0) names->push_back(ToValidUtf8(text.substr(0, end)));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return 0;
}

std::string ValueName(const char* name) { return name ? ToValidUtf8(name) : std::string(); }

// A key name the .reg file can hold on its [key] line.
bool IsStorableKeyName(const std::string& name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

// What RegSetValueExA stores.
RegValue StoredValue(uint32_t type, const uint8_t* data, uint32_t size) {
  uint32_t count = size;
  // The platform's own fix-up for callers that forget the terminator: when
  // the byte after the data is a NUL, it is stored too. This reads data[size].
  if (IsStringType(type) && count > 0 && data[count - 1] != 0 && data[count] == 0) ++count;
  if (!IsStringType(type)) return RegValue{type, std::vector<uint8_t>(data, data + count), std::nullopt};
  // Through UTF-16, as Windows keeps it: bytes that are no UTF-8 become U+FFFD.
  std::string text = ToValidUtf8(std::string_view(reinterpret_cast<const char*>(data), count));
  return RegValue{type, std::vector<uint8_t>(text.begin(), text.end()), std::nullopt};
}

// Holds the exclusive advisory lock of a lock file (none for -1).
class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FileLock() {
    if (fd_ >= 0) flock(fd_, LOCK_UN);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_;
};

}  // namespace

class SimRegistry::Key : public RegKey {
 public:
  Key(const SimRegistry* registry, std::shared_ptr<RegNode> key_node, uint32_t granted)
      : owner(registry), node(std::move(key_node)), access(granted) {}

  const SimRegistry* const owner;
  const std::shared_ptr<RegNode> node;
  const uint32_t access;
};

SimRegistry::SimRegistry(std::filesystem::path file, RegistryOptions options)
    : file_(std::move(file)), options_(options) {
  std::string content;
  int error = ReadHostFile(file_, &content, &stamp_);
  if (error != 0 && error != ENOENT)
    throw std::runtime_error(file_.string() + ": cannot be read: " + std::strerror(error));
  if (error == 0) {
    try {
      ParseRegText(content, file_.string(), &hives_);
    } catch (const std::runtime_error& e) {
      throw std::runtime_error(std::string(e.what()) + "; restore the file from a copy, or move it away (mv " +
                               file_.string() + " " + file_.string() + ".broken): the next run sets a new one up");
    }
  }
  std::filesystem::path lock = file_;
  lock += ".lock";
  int protection = PROT_READ | PROT_WRITE;
  lock_fd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd_ < 0) {
    lock_fd_ = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    protection = PROT_READ;
  }
  struct stat info {};
  if (lock_fd_ >= 0 && fstat(lock_fd_, &info) == 0 &&
      (info.st_size >= static_cast<off_t>(sizeof(uint64_t)) ||
       (protection & PROT_WRITE && ftruncate(lock_fd_, sizeof(uint64_t)) == 0))) {
    void* mapped = mmap(nullptr, sizeof(uint64_t), protection, MAP_SHARED, lock_fd_, 0);
    if (mapped != MAP_FAILED) generation_ = static_cast<uint64_t*>(mapped);
  }
  // seen_generation_ stays 0: a change counted since then is taken in at
  // the first read.
}

SimRegistry::~SimRegistry() {
  if (generation_) munmap(generation_, sizeof(uint64_t));
  if (lock_fd_ >= 0) close(lock_fd_);
}

static_assert(std::atomic_ref<uint64_t>::is_always_lock_free, "the change count is shared between processes");

uint64_t SimRegistry::Generation() const {
  return generation_ ? std::atomic_ref<uint64_t>(*generation_).load(std::memory_order_acquire) : 0;
}

bool SimRegistry::FileCheckDue() {
  auto now = options_.clock ? options_.clock() : std::chrono::steady_clock::now();
  int64_t at = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  int64_t last = last_file_check_.load(std::memory_order_relaxed);
  if (last != kNeverChecked && at - last < options_.edit_check_interval.count()) return false;
  // Of threads that find the interval passed at once, one compares.
  return last_file_check_.compare_exchange_strong(last, at, std::memory_order_relaxed);
}

void SimRegistry::RefreshForRead(bool check_file) {
  check_file = check_file && FileCheckDue();
  FileStamp now;
  if (check_file && StatHostFile(file_, &now) != 0) return;
  uint64_t generation = Generation();
  {
    ReaderLock lock(mutex_);
    // A batch holds write_mutex_, maybe on this very thread, and holds the
    // file as it is until its end.
    if (batch_depth_ > 0) return;
    bool same_file = !check_file || now == stamp_ || now == broken_stamp_;
    if (same_file && generation == seen_generation_) return;
  }
  // A change of this process under way takes in the file itself (and may be
  // what made it differ); the read does not wait for it.
  if (!write_mutex_.try_lock()) return;
  MutexLock writer(write_mutex_, AdoptLock{});
  Refresh();
}

int32_t SimRegistry::Refresh(bool force) {
  // Read first: a writer renames its file before it counts the change.
  uint64_t generation = Generation();
  FileStamp now;
  StatHostFile(file_, &now);
  if (!force) {
    WriterLock lock(mutex_);
    if (now == stamp_) {
      seen_generation_ = generation;
      return 0;
    }
    if (now == broken_stamp_) return kErrorBadDb;
  }
  std::string content;
  FileStamp read = now;
  RegHives loaded;
  int error = ReadHostFile(file_, &content, &read);
  try {
    if (error == ENOENT) {
      read = FileStamp{};
    } else if (error != 0) {
      throw std::runtime_error(file_.string() + ": cannot be read: " + std::strerror(error));
    } else {
      ParseRegText(content, file_.string(), &loaded);
    }
  } catch (const std::runtime_error& e) {
    bool known = false;
    {
      WriterLock lock(mutex_);
      known = broken_stamp_ == read;
      broken_stamp_ = read;
    }
    if (options_.notice && !known)
      options_.notice->Say(std::string(e.what()) + " (the registry keeps what it read before, and changes are " +
                           "refused until the file is repaired)");
    return kErrorBadDb;
  }
  WriterLock lock(mutex_);
  MergeRegHives(hives_, std::move(loaded));
  stamp_ = read;
  broken_stamp_.reset();
  seen_generation_ = generation;
  return 0;
}

int SimRegistry::Commit() {
  std::string text;
  {
    ReaderLock lock(mutex_);
    text = FormatRegText(hives_);
  }
  int error = WriteFileAtomically(file_, text, options_.durable, [this](const FileStamp& written) {
    // A person's editor does not take the lock: what it saved since the
    // file was read must not be replaced.
    FileStamp now;
    if (StatHostFile(file_, &now) != 0) return false;
    // Set before the rename, so that readers never take this write for
    // another process's.
    WriterLock lock(mutex_);
    if (now != stamp_) return false;
    stamp_ = written;
    return true;
  });
  if (error == 0 && generation_ != nullptr) {
    WriterLock lock(mutex_);
    seen_generation_ = std::atomic_ref<uint64_t>(*generation_).fetch_add(1, std::memory_order_acq_rel) + 1;
  }
  return error;
}

int32_t SimRegistry::Report(int error) {
  if (options_.notice) {
    if (error != 0) {
      options_.notice->Failed(file_, error);
    } else {
      options_.notice->Succeeded();
    }
  }
  return static_cast<int32_t>(Win32ErrorFromErrno(error));
}

int32_t SimRegistry::Change(const Edit& edit) {
  {
    WriterLock lock(mutex_);
    if (batch_depth_ > 0) {
      std::function<void()> undo;
      int32_t error = edit(&undo);
      if (error == 0 && undo) unsaved_ = true;
      return error;
    }
  }
  MutexLock writer(write_mutex_);
  FileLock file_lock(lock_fd_);
  for (int attempt = 1;; ++attempt) {
    if (int32_t error = Refresh()) return error;
    std::function<void()> undo;
    {
      WriterLock lock(mutex_);
      if (int32_t error = edit(&undo)) return error;
    }
    if (!undo) return 0;  // nothing changed
    int error = Commit();
    if (error == 0) return Report(0);
    {
      WriterLock lock(mutex_);
      undo();
    }
    if (error != EAGAIN || attempt == kAttempts) return Report(error);
  }
}

int32_t SimRegistry::Batch(const std::function<void()>& changes) {
  bool nested = false;
  {
    WriterLock lock(mutex_);
    if (batch_depth_ > 0) {
      ++batch_depth_;
      nested = true;
    }
  }
  if (nested) {
    struct End {
      SimRegistry* registry;
      ~End() {
        WriterLock lock(registry->mutex_);
        --registry->batch_depth_;
      }
    } end{this};
    changes();
    return 0;
  }
  MutexLock writer(write_mutex_);
  FileLock file_lock(lock_fd_);
  if (int32_t error = Refresh()) return error;
  {
    WriterLock lock(mutex_);
    batch_depth_ = 1;
    unsaved_ = false;
  }
  auto end = [this]() FENRA_REQUIRES(write_mutex_) {
    bool unsaved = false;
    {
      WriterLock lock(mutex_);
      batch_depth_ = 0;
      unsaved = std::exchange(unsaved_, false);
    }
    if (!unsaved) return 0;
    int error = Commit();
    if (error != 0) Refresh(/*force=*/true);
    return Report(error);
  };
  try {
    changes();
  } catch (...) {
    end();
    throw;
  }
  return end();
}

int32_t SimRegistry::OpenKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key) {
  if (key == nullptr) return win::kErrorInvalidParameter;
  key->reset();
  std::vector<std::string> names;
  if (int32_t error = SplitPath(path, &names)) return error;
  RefreshForRead(/*check_file=*/true);
  ReaderLock lock(mutex_);
  std::shared_ptr<RegNode> node;
  if (Walk(hive, names, &node) < names.size()) return win::kErrorFileNotFound;
  *key = std::make_unique<Key>(this, node, GrantedAccess(sam));
  return 0;
}

int32_t SimRegistry::CreateKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key,
                               uint32_t* disposition) {
  if (key == nullptr) return win::kErrorInvalidParameter;
  key->reset();
  std::vector<std::string> names;
  if (int32_t error = SplitPath(path, &names)) return error;
  std::shared_ptr<RegNode> node;
  size_t existing = 0;
  int32_t error = Change([&](std::function<void()>* undo) FENRA_REQUIRES(mutex_) -> int32_t {
    existing = Walk(hive, names, &node);
    if (existing == names.size()) return 0;
    // Windows would take a line break in a key name; the file cannot.
    for (size_t i = existing; i < names.size(); ++i) {
      if (!IsStorableKeyName(names[i])) return win::kErrorInvalidParameter;
    }
    *undo = [parent = node, name = names[existing]] { parent->subkeys.erase(name); };
    for (size_t i = existing; i < names.size(); ++i) {
      auto child = std::make_shared<RegNode>();
      node->subkeys.emplace(names[i], child);
      node = child;
    }
    return 0;
  });
  if (error != 0) return error;
  if (disposition) *disposition = existing < names.size() ? win::kRegCreatedNewKey : win::kRegOpenedExistingKey;
  *key = std::make_unique<Key>(this, node, GrantedAccess(sam));
  return 0;
}

size_t SimRegistry::Walk(Hive hive, const std::vector<std::string>& names, std::shared_ptr<RegNode>* node) {
  *node = hive == Hive::kLocalMachine ? hives_.local_machine : hives_.classes_root;
  for (size_t i = 0; i < names.size(); ++i) {
    auto it = (*node)->subkeys.find(names[i]);
    if (it == (*node)->subkeys.end()) return i;
    *node = it->second;
  }
  return names.size();
}

int32_t SimRegistry::CheckKey(RegKey& key, uint32_t needed, Key** checked) {
  auto* sim_key = dynamic_cast<Key*>(&key);
  if (sim_key == nullptr || sim_key->owner != this) return win::kErrorInvalidHandle;
  if ((sim_key->access & needed) != needed) return win::kErrorAccessDenied;
  if (sim_key->node->deleted) return win::kErrorKeyDeleted;
  *checked = sim_key;
  return 0;
}

int32_t SimRegistry::QueryValue(RegKey& key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size) {
  RefreshForRead(/*check_file=*/false);
  ReaderLock lock(mutex_);
  Key* checked = nullptr;
  if (int32_t error = CheckKey(key, win::kKeyQueryValue, &checked)) return error;
  if (data != nullptr && size == nullptr) return win::kErrorInvalidParameter;
  auto it = checked->node->values.find(ValueName(name));
  if (it == checked->node->values.end()) return win::kErrorFileNotFound;

  const RegValue& value = it->second;
  auto stored = static_cast<uint32_t>(value.data.size());
  if (type) *type = value.type;
  if (data == nullptr) {
    if (size) *size = stored;
    return 0;
  }
  uint32_t room = *size;
  *size = stored;
  if (room < stored) return win::kErrorMoreData;
  if (stored > 0) memcpy(data, value.data.data(), stored);
  // A string stored without its terminator gets one when there is room;
  // the size reported does not count it.
  if (IsStringType(value.type) && stored > 0 && stored < room && value.data.back() != 0) data[stored] = 0;
  return 0;
}

int32_t SimRegistry::SetValue(RegKey& key, const char* name, uint32_t type, const uint8_t* data, uint32_t size) {
  std::string value_name = ValueName(name);
  return Change([&](std::function<void()>* undo) FENRA_REQUIRES(mutex_) -> int32_t {
    Key* checked = nullptr;
    if (int32_t error = CheckKey(key, win::kKeySetValue, &checked)) return error;
    if (data == nullptr && size > 0) return kErrorNoaccess;
    RegValue value = StoredValue(type, data, size);
    std::shared_ptr<RegNode> node = checked->node;
    auto it = node->values.find(value_name);
    if (it == node->values.end()) {
      node->values.emplace(value_name, std::move(value));
      *undo = [node, value_name] { node->values.erase(value_name); };
    } else if (it->second != value) {
      *undo = [node, value_name, old = std::exchange(it->second, std::move(value))] {
        node->values.find(value_name)->second = old;
      };
    }
    return 0;
  });
}

int32_t SimRegistry::DeleteValue(RegKey& key, const char* name) {
  std::string value_name = ValueName(name);
  return Change([&](std::function<void()>* undo) FENRA_REQUIRES(mutex_) -> int32_t {
    Key* checked = nullptr;
    if (int32_t error = CheckKey(key, win::kKeySetValue, &checked)) return error;
    std::shared_ptr<RegNode> node = checked->node;
    auto it = node->values.find(value_name);
    if (it == node->values.end()) return win::kErrorFileNotFound;
    *undo = [node, removed = *it] { node->values.insert(removed); };
    node->values.erase(it);
    return 0;
  });
}

int32_t SimRegistry::DeleteKey(Hive hive, const std::string& path) {
  std::vector<std::string> names;
  if (int32_t error = SplitPath(path, &names)) return error;
  if (names.empty()) return win::kErrorAccessDenied;
  const std::vector<std::string> parent_names(names.begin(), names.end() - 1);
  return Change([&](std::function<void()>* undo) FENRA_REQUIRES(mutex_) -> int32_t {
    std::shared_ptr<RegNode> parent;
    if (Walk(hive, parent_names, &parent) < parent_names.size()) return win::kErrorFileNotFound;
    auto it = parent->subkeys.find(names.back());
    if (it == parent->subkeys.end()) return win::kErrorFileNotFound;
    if (!it->second->subkeys.empty()) return win::kErrorAccessDenied;
    auto removed = *it;
    parent->subkeys.erase(it);
    removed.second->deleted = true;
    *undo = [parent, removed] {
      removed.second->deleted = false;
      parent->subkeys.insert(removed);
    };
    return 0;
  });
}

int32_t SimRegistry::SetString(Hive hive, const std::string& path, const std::string& name, const std::string& text) {
  RegKeyPtr key;
  if (int32_t error = CreateKey(hive, path, win::kKeySetValue, &key, nullptr)) return error;
  return SetValue(*key, name.c_str(), win::kRegSz, reinterpret_cast<const uint8_t*>(text.c_str()),
                  static_cast<uint32_t>(text.size() + 1));
}

int32_t SimRegistry::SetDword(Hive hive, const std::string& path, const std::string& name, uint32_t value) {
  RegKeyPtr key;
  if (int32_t error = CreateKey(hive, path, win::kKeySetValue, &key, nullptr)) return error;
  uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
                      static_cast<uint8_t>(value >> 24)};
  return SetValue(*key, name.c_str(), win::kRegDword, bytes, sizeof(bytes));
}

std::optional<std::string> SimRegistry::GetString(Hive hive, const std::string& path, const std::string& name) {
  RegKeyPtr key;
  uint32_t type = 0;
  uint32_t size = 0;
  if (OpenKey(hive, path, win::kKeyQueryValue, &key) != 0 ||
      QueryValue(*key, name.c_str(), &type, nullptr, &size) != 0 || !IsStringType(type))
    return std::nullopt;
  std::string text(size, '\0');
  if (QueryValue(*key, name.c_str(), &type, reinterpret_cast<uint8_t*>(text.data()), &size) != 0) return std::nullopt;
  text.resize(strnlen(text.c_str(), size));
  return text;
}

std::optional<uint32_t> SimRegistry::GetDword(Hive hive, const std::string& path, const std::string& name) {
  RegKeyPtr key;
  uint32_t type = 0;
  uint8_t bytes[4] = {};
  uint32_t size = sizeof(bytes);
  if (OpenKey(hive, path, win::kKeyQueryValue, &key) != 0 || QueryValue(*key, name.c_str(), &type, bytes, &size) != 0 ||
      type != win::kRegDword || size != sizeof(bytes))
    return std::nullopt;
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

int32_t SimRegistry::SetRaw(Hive hive, const std::string& path, const std::string& name, uint32_t type,
                            const std::vector<uint8_t>& data) {
  RegKeyPtr key;
  if (int32_t result = CreateKey(hive, path, win::kKeyAllAccess, &key, nullptr)) return result;
  // RegSetValueExA stores a NUL that follows a text's data too; a spare
  // 'x' behind the data keeps it as given.
  std::vector<uint8_t> bytes = data;
  bytes.push_back('x');
  return SetValue(*key, name.c_str(), type, bytes.data(), static_cast<uint32_t>(data.size()));
}

std::optional<RegValue> SimRegistry::GetRaw(Hive hive, const std::string& path, const std::string& name) {
  RegKeyPtr key;
  RegValue value;
  uint32_t size = 0;
  if (OpenKey(hive, path, win::kKeyQueryValue, &key) != 0 ||
      QueryValue(*key, name.c_str(), &value.type, nullptr, &size) != 0)
    return std::nullopt;
  value.data.resize(size);
  if (QueryValue(*key, name.c_str(), &value.type, value.data.data(), &size) != 0) return std::nullopt;
  value.data.resize(size);
  return value;
}

}  // namespace fenra::sim
