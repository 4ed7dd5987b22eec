#include "app/console.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string_view>

#include "app/message_file_source.h"
#include "platform/sim/text.h"
#include "service/entry.h"

namespace fenra::app {
namespace {

// Message ID to its text in each language, read once from the message
// file's source: "MessageId=0x1" opens a message, "Language=English" (or
// "Language=Japanese") one of its texts, which ends at a line holding a
// single ".".
using Texts = std::map<uint32_t, std::string>;
const Texts& TextsOf(sim::UiLanguage language) {
  static const std::map<std::string, Texts> by_language = [] {
    std::map<std::string, Texts> result;
    std::string_view rest = kMessageFileSource;
    uint32_t id = 0;
    std::string in_language;  // the language of the text being read, or empty
    std::string text;
    while (!rest.empty()) {
      size_t end = std::min(rest.find('\n'), rest.size());
      std::string_view line = rest.substr(0, end);
      rest.remove_prefix(std::min(end + 1, rest.size()));
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (!in_language.empty()) {
        if (line == ".") {
          result[in_language][id] = text;
          in_language.clear();
        } else {
          text += (text.empty() ? "" : "\n") + std::string(line);
        }
      } else if (line.starts_with("MessageId=")) {
        id = static_cast<uint32_t>(std::stoul(std::string(line.substr(10)), nullptr, 0));
      } else if (line.starts_with("Language=")) {
        in_language = line.substr(9);
        text.clear();
      }
    }
    return result;
  }();
  static const Texts kNone;
  auto found = by_language.find(language == sim::UiLanguage::kJapanese ? "Japanese" : "English");
  return found == by_language.end() ? kNone : found->second;
}

// FormatMessage's inserts: %1 to %99, %n, %0 and the escaped characters.
std::string Expand(std::string_view format, const std::vector<std::string>& strings) {
  std::string out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      out += format[i];
      continue;
    }
    char next = format[++i];
    if (next == '0') break;
    if (next >= '1' && next <= '9') {
      size_t number = next - '0';
      if (i + 1 < format.size() && format[i + 1] >= '0' && format[i + 1] <= '9') number = number * 10 + (format[++i] - '0');
      if (number <= strings.size()) out += strings[number - 1];
    } else if (next == 'n' || next == 'r') {
      out += '\n';
    } else if (next == 't') {
      out += '\t';
    } else if (next == 'b') {
      out += ' ';
    } else {
      out += next;  // %% %. %!
    }
  }
  return out;
}

}  // namespace

std::string MessageText(uint32_t event_id, const std::vector<std::string>& strings, sim::UiLanguage language) {
  // As the event viewer's FormatMessage: the machine's language, else English.
  for (sim::UiLanguage tried : {language, sim::UiLanguage::kEnglish}) {
    auto found = TextsOf(tried).find(event_id & 0xFFFF);
    if (found != TextsOf(tried).end()) return Expand(found->second, strings);
  }
  std::string text = "The description for Event ID " + std::to_string(event_id & 0xFFFF) + " cannot be found.";
  for (const std::string& s : strings) text += "\n" + s;
  return text;
}

std::string IndentedText(std::string_view text) {
  std::string out;
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() || !rest.empty()) out += "    " + std::string(line) + "\n";
  }
  return out;
}

std::string ConsoleRecord(const sim::EventLogRecord& record, sim::UiLanguage language, bool stored) {
  // "2026-12-03T22:53:04.042" shown to the second.
  std::string when = record.time.substr(0, 19);
  if (when.size() > 10 && when[10] == 'T') when[10] = ' ';
  return when + "  " + record.source + "  " + std::to_string(record.event_id & 0xFFFF) + "  " + record.type +
         (stored ? "" : "  (not stored)") + "\n" + IndentedText(MessageText(record.event_id, record.strings, language));
}

std::string ShellWord(const std::string& text) {
  bool safe = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("/._-+:,=@%").find(c) != std::string_view::npos;
  });
  if (safe) return text;
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string SiblingProgram(const std::string& name) {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return name;
  std::filesystem::path sibling = self.parent_path() / name;
  if (!std::filesystem::exists(sibling, error)) return name;
  return ShellWord(sibling.string());
}

const char* InstallationDone(System& system, const std::string& command_line) {
  static constexpr struct {
    const char* word;
    const char* done;
  } kWords[] = {
      {"UnregServer", "FENRA's registration removed: the service FENRA, its event sources, its AppID and type library"},
      {"RegServer", "FENRA registered as a plain process: its AppID and type library, no service"},
      {"Service", "FENRA registered as a service: the service FENRA, its event sources QVMZUFT and QVMFTMarvix, "
                  "its AppID and type library"},
  };
  for (const char* token = FindCommandToken(system, command_line.c_str(), "-/"); token != nullptr;
       token = FindCommandToken(system, token, "-/"))
    for (const auto& word : kWords)
      if (sim::EqualsIgnoreCase(token, word.word)) return word.done;
  return nullptr;
}

}  // namespace fenra::app
