#pragma once
// The change journal of a machine's hardware: `hardware.changes` beside
// hardware.json, one JSON line per state change a tool made, in the order
// made ({"key": "cpu/1", "state": "REMOVED"}). The description holds where
// the hardware stands; the journal holds how it got there, so that a
// provider that reads less often than the tool writes still turns every
// change into its own event. Writers and readers take turns through a lock
// on the journal (flock), so a reader sees a description and the changes
// that led to it together.
//
// The journal only grows; a reader starts at its end as it stands when the
// reader is made, and starts over when the file is replaced or shortened
// (it may be deleted while no service runs).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sim/wmi_inventory.h"

namespace fenra::sim {

inline constexpr const char* kHardwareJournalFile = "hardware.changes";

struct HardwareChange {
  std::string key;    // the instance's ObjectKey
  std::string state;  // a state name ("REMOVED") or a number
  bool operator==(const HardwareChange&) const = default;
};

// Under the journal's exclusive lock: reads `directory`'s hardware.json,
// lets `edit` change the document and name the changes it made, then (when
// there are any) writes the file and appends the changes to the journal
// with one write. False, with "FILE: reason", when a file cannot be read or
// written; an exception from `edit` passes through, with nothing written.
bool EditHardware(const std::filesystem::path& directory,
                  const std::function<std::vector<HardwareChange>(nlohmann::json&)>& edit, std::string* error);

// What a look at the hardware description found.
enum class DescriptionRead {
  kChanged,    // the file holds what it did not at the last look: the inventory is read
  kUnchanged,  // the same text as at the last look, good or refused: nothing to compare, nothing to say
  kRefused,    // a new text (or a new reason) that cannot be read or parsed: the error says why
};

// Reads a machine's journal from where it last stopped, and the hardware
// description when its text has changed. Not thread-safe: one reader per
// thread.
class HardwareJournalReader {
 public:
  explicit HardwareJournalReader(std::filesystem::path directory);

  // Under the journal's shared lock: appends to `changes` the changes
  // written since the last call (whole lines only; a line that is no change
  // is skipped), and reads hardware.json as it now stands. Its "wmi"
  // section goes to `inventory` when the file's text differs from the last
  // call's; a text that cannot be parsed gives its message once, and a look
  // at the same text again is kUnchanged, so one bad edit is one report
  // however often the reader looks. The changes are given in every case.
  // Opens nothing for writing: a reader woken by the file system's
  // notification must not raise another one itself.
  DescriptionRead Read(std::vector<HardwareChange>* changes, SimWmiInventory* inventory, std::string* error);

 private:
  std::filesystem::path directory_;
  uint64_t inode_ = 0;
  uint64_t offset_ = 0;
  // The description's text at the last look (none before the first, or
  // when it could not be read), and what was said of it (empty: nothing).
  std::optional<std::string> last_text_;
  std::string last_error_;
};

// The state code a journal's state stands for: a state name of the state
// table or a decimal number; none for anything else.
std::optional<int32_t> JournalState(const std::string& state);

}  // namespace fenra::sim
