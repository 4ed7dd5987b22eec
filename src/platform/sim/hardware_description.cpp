#include "platform/sim/hardware_description.h"

#include <cstdio>
#include <system_error>

#include "platform/sim/host_file.h"
#include "platform/sim/text.h"

namespace fenra::sim {
namespace {

// "FILE:LINE:COLUMN: what the parser found" and, for the slips a hand edit
// makes most, what to write instead. The parser says "[json.exception...]
// parse error at line 213, column 18: syntax error ... - invalid literal;
// last read: '"state": D'"; its message is kept whole when it says no place.
std::string ParseErrorText(const std::string& name, const std::string& what) {
  unsigned line = 0, column = 0;
  int rest = -1;
  size_t at = what.find("at line ");
  if (at == std::string::npos ||
      sscanf(what.c_str() + at, "at line %u, column %u: %n", &line, &column, &rest) != 2 || rest < 0)
    return name + ": " + what;
  std::string text = name + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " +
                     what.substr(at + static_cast<size_t>(rest));
  if (what.find("invalid literal") != std::string::npos)
    text += "; a name or a state is text in double quotes, as in \"state\": \"DUPLEX\"";
  else if (what.find("unexpected end of input") != std::string::npos)
    text += "; the file ends before the object is closed (a } or ] is missing)";
  return text;
}

}  // namespace

bool ReadHardwareDescription(const std::filesystem::path& file, nlohmann::json* document, std::string* error) {
  std::string text;
  if (int code = ReadHostFile(file, &text)) {
    *error = FileErrorText(file, code);
    return false;
  }
  return ParseHardwareDescription(text, file.string(), document, error);
}

bool ParseHardwareDescription(std::string_view text, const std::string& name, nlohmann::json* document,
                              std::string* error) {
  try {
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/true,
                                                  /*ignore_comments=*/true);
    if (!parsed.is_object()) {
      *error = name + ": the hardware description must be a JSON object";
      return false;
    }
    *document = std::move(parsed);
    return true;
  } catch (const nlohmann::json::parse_error& e) {
    *error = ParseErrorText(name, e.what());
    return false;
  } catch (const nlohmann::json::exception& e) {
    *error = name + ": " + e.what();
    return false;
  }
}

bool WriteHardwareDescription(const std::filesystem::path& file, const nlohmann::json& document, std::string* error) {
  std::string text =
      "// Hardware of the simulated machine. Each top-level member is the section of one\n"
      "// simulated component. Edits of module states take effect while the service runs.\n" +
      document.dump(2) + '\n';
  if (int code = WriteFileAtomically(file, text, /*durable=*/false)) {
    // The new text goes into the temporary file beside it first; that is
    // where a folder that may not be written, or a full disk, stops it.
    std::filesystem::path temporary = file;
    temporary += ".tmp";
    *error = FileErrorText(temporary, code);
    return false;
  }
  return true;
}

bool EnsureHardwareSection(const std::filesystem::path& file, std::string_view name, const nlohmann::json& baseline,
                           std::string* error, nlohmann::json* document) {
  nlohmann::json contents = nlohmann::json::object();
  std::error_code ec;
  if (std::filesystem::exists(file, ec) && !ReadHardwareDescription(file, &contents, error)) return false;
  std::string key(name);
  bool written = contents.contains(key);
  if (!written) {
    contents[key] = baseline;
    written = WriteHardwareDescription(file, contents, error);
  }
  if (written && document != nullptr) *document = std::move(contents);
  return written;
}

}  // namespace fenra::sim
