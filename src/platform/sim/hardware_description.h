#pragma once
// The simulated machine's hardware description: `hardware.json` in the
// machine directory, one JSON object (comments allowed) whose top-level
// members are sections, each owned by one simulated component ("wmi" for
// the WMI provider; others add theirs). A component reads only its own
// section and leaves the others as they stand, so sections can be added
// without touching the existing ones.

#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace fenra::sim {

inline constexpr const char* kHardwareFile = "hardware.json";

// Reads and parses the file. False, with a message naming the file and the
// parse error, when it cannot be read or is not a JSON object.
bool ReadHardwareDescription(const std::filesystem::path& file, nlohmann::json* document, std::string* error);
// The same for the file's text; `name` names it in the message.
bool ParseHardwareDescription(std::string_view text, const std::string& name, nlohmann::json* document,
                              std::string* error);

// Writes the document atomically (the temporary file FILE.tmp renamed over
// it), behind a comment line that tells what the file is. False, with
// "FILE.tmp: reason" in the system's words, when it cannot.
bool WriteHardwareDescription(const std::filesystem::path& file, const nlohmann::json& document,
                              std::string* error);

// Gives the file the section `name` with the baseline content, creating the
// file when it does not exist. A section already there is kept as it is, so
// a person's edits survive; a file that cannot be parsed is refused, never
// replaced. `document` (may be null) gets the file's contents as they now
// stand, so the caller need not read it again.
bool EnsureHardwareSection(const std::filesystem::path& file, std::string_view name,
                           const nlohmann::json& baseline, std::string* error,
                           nlohmann::json* document = nullptr);

}  // namespace fenra::sim
