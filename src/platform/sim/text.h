#pragma once
// Text helpers of the simulated machine. Its ANSI code page is UTF-8, so
// every 8-bit text the core hands over is treated as UTF-8; names compare
// as Windows compares them for ASCII letters (other letters compare exactly).

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fenra::sim {

bool IsValidUtf8(std::string_view text);
// What the platform keeps of an ANSI text after its conversion to UTF-16:
// every byte that is not part of a valid UTF-8 sequence becomes U+FFFD.
std::string ToValidUtf8(std::string_view text);

// UTF-16LE bytes (even count) to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(const uint8_t* data, size_t size);
// `text` must be valid UTF-8.
std::vector<uint8_t> Utf8ToUtf16Le(std::string_view text);

// WTF-8: UTF-8 that may also hold unpaired surrogates, each as the
// three-byte form of its value, so that any UTF-16 converts to it and back
// unchanged (Windows names and strings are such UTF-16, not always valid).
bool IsValidWtf8(std::string_view text);
std::string Utf16LeToWtf8(const uint8_t* data, size_t size);
// `text` must be valid WTF-8.
std::vector<uint8_t> Wtf8ToUtf16Le(std::string_view text);

// A wide text (UTF-16 or UTF-32 code units) as UTF-8; unpaired surrogates
// become U+FFFD.
std::string WideToUtf8(std::wstring_view text);
// UTF-8 as wide characters (code points); a byte that starts no valid
// sequence becomes U+FFFD.
std::wstring Utf8ToWide(std::string_view text);

char AsciiLower(char c);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// Strict weak order that ignores the case of ASCII letters.
struct LessIgnoreCase {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

// The text of a file as UTF-8: a UTF-8 byte-order mark is dropped, a
// UTF-16LE one makes the rest decoded. False for UTF-16 of odd length.
bool DecodeTextFile(std::string_view bytes, std::string* text);

// `text` fit for a message on a terminal: every byte that is a control
// character (tab included) or not part of valid UTF-8 becomes "\xNN", so a
// message never moves the cursor or changes colours.
std::string PrintableText(std::string_view text);

// "FILE: REASON" for a host errno, the reason in the system's words
// ("No such file or directory", "Is a directory", "Permission denied").
// The file name is made printable.
std::string FileErrorText(const std::filesystem::path& file, int error);

}  // namespace fenra::sim
