#include "platform/sim/hardware_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "platform/sim/hardware_description.h"
#include "platform/sim/host_file.h"
#include "platform/sim/text.h"
#include "wmi/wmi_tables.h"

namespace fenra::sim {
namespace {

// An open journal, locked for its lifetime.
class LockedJournal {
 public:
  LockedJournal(const std::filesystem::path& file, int flags, int lock) {
    fd_ = open(file.c_str(), flags | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    while (flock(fd_, lock) != 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return;
    }
  }
  ~LockedJournal() {
    if (fd_ >= 0) close(fd_);  // lets the lock go
  }
  LockedJournal(const LockedJournal&) = delete;
  LockedJournal& operator=(const LockedJournal&) = delete;

  int fd() const { return fd_; }
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

}  // namespace

std::optional<int32_t> JournalState(const std::string& state) {
  if (const StateEntry* entry = FindStateByName(state)) return entry->code;
  int32_t value = 0;
  auto [end, ec] = std::from_chars(state.data(), state.data() + state.size(), value);
  if (ec == std::errc() && end == state.data() + state.size() && !state.empty()) return value;
  return std::nullopt;
}

bool EditHardware(const std::filesystem::path& directory,
                  const std::function<std::vector<HardwareChange>(nlohmann::json&)>& edit, std::string* error) {
  std::filesystem::path journal = directory / kHardwareJournalFile;
  LockedJournal lock(journal, O_WRONLY | O_APPEND | O_CREAT, LOCK_EX);
  if (lock.error() != 0) {
    *error = FileErrorText(journal, lock.error());
    return false;
  }
  std::filesystem::path file = directory / kHardwareFile;
  nlohmann::json document;
  if (!ReadHardwareDescription(file, &document, error)) return false;
  std::vector<HardwareChange> changes = edit(document);
  if (changes.empty()) return true;
  if (!WriteHardwareDescription(file, document, error)) return false;
  std::string lines;
  for (const HardwareChange& change : changes)
    lines += nlohmann::json{{"key", change.key}, {"state", change.state}}.dump() + "\n";
  if (int code = WriteAll(lock.fd(), lines)) {
    *error = FileErrorText(journal, code) + " (" + file.string() + " holds the change)";
    return false;
  }
  return true;
}

HardwareJournalReader::HardwareJournalReader(std::filesystem::path directory) : directory_(std::move(directory)) {
  struct stat info {};
  if (stat((directory_ / kHardwareJournalFile).c_str(), &info) == 0) {
    inode_ = info.st_ino;
    offset_ = static_cast<uint64_t>(info.st_size);
  }
}

DescriptionRead HardwareJournalReader::Read(std::vector<HardwareChange>* changes, SimWmiInventory* inventory,
                                            std::string* error) {
  std::filesystem::path journal = directory_ / kHardwareJournalFile;
  // Created when missing, so that a tool's first change lands in a file
  // this reader already knows from its start; opened for reading only, as
  // closing a file opened for writing is itself a change the watcher is
  // woken for (a reader that wrote would wake itself for ever).
  LockedJournal lock(journal, O_RDONLY | O_CREAT, LOCK_SH);
  if (lock.fd() >= 0) {
    struct stat info {};
    if (fstat(lock.fd(), &info) == 0) {
      auto size = static_cast<uint64_t>(info.st_size);
      if (info.st_ino != inode_ || size < offset_) {
        inode_ = info.st_ino;
        offset_ = 0;
      }
      std::string text(size - offset_, '\0');
      ssize_t got = text.empty() ? 0 : pread(lock.fd(), text.data(), text.size(), static_cast<off_t>(offset_));
      text.resize(got > 0 ? static_cast<size_t>(got) : 0);
      size_t end = text.rfind('\n');
      text.resize(end == std::string::npos ? 0 : end + 1);
      offset_ += text.size();
      size_t start = 0;
      while (start < text.size()) {
        size_t stop = text.find('\n', start);
        try {
          auto line = nlohmann::json::parse(text.substr(start, stop - start));
          if (line.is_object() && line.contains("key") && line["key"].is_string() && line.contains("state") &&
              line["state"].is_string())
            changes->push_back({line["key"].get<std::string>(), line["state"].get<std::string>()});
        } catch (const nlohmann::json::exception&) {
          // Not a change: skipped.
        }
        start = stop + 1;
      }
    }
  }
  // The same text says the same as at the last look: parsing is
  // deterministic.
  std::filesystem::path file = directory_ / kHardwareFile;
  std::string text;
  std::string why;
  if (int code = ReadHostFile(file, &text); code != 0) {
    why = FileErrorText(file, code);
    if (!last_text_ && why == last_error_) return DescriptionRead::kUnchanged;
    last_text_.reset();
  } else {
    if (last_text_ == text) return DescriptionRead::kUnchanged;
    ParseWmiInventory(text, file.string(), inventory, &why);
    last_text_ = std::move(text);
  }
  last_error_ = why;
  if (why.empty()) return DescriptionRead::kChanged;
  *error = std::move(why);
  return DescriptionRead::kRefused;
}

}  // namespace fenra::sim
