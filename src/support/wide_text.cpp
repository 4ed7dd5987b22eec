#include "support/wide_text.h"

#include <algorithm>
#include <cwchar>
#include <limits>
#include <string>

namespace fenra {

size_t NarrowText(System& system, std::wstring_view text, std::span<char> out) {
  if (out.empty()) return 0;
  const size_t room = out.size() - 1;
  std::string narrow = system.ToAnsi(text);
  if (narrow.size() > room) {
    // The longest run of whole characters whose conversion fits: a longer
    // run never converts to fewer bytes.
    size_t fits = 0;
    size_t too_long = text.size();
    while (too_long - fits > 1) {
      size_t middle = fits + (too_long - fits) / 2;
      (system.ToAnsi(text.substr(0, middle)).size() <= room ? fits : too_long) = middle;
    }
    // Not between the halves of a surrogate pair (16-bit wchar_t).
    if (fits > 0 && static_cast<uint32_t>(text[fits - 1]) >= 0xD800 && static_cast<uint32_t>(text[fits - 1]) <= 0xDBFF)
      --fits;
    narrow = system.ToAnsi(text.substr(0, fits));
  }
  std::copy(narrow.begin(), narrow.end(), out.begin());
  out[narrow.size()] = '\0';
  return narrow.size();
}

const char* NextUtf8Character(const char* text) {
  auto lead = static_cast<unsigned char>(*text);
  if (lead == 0) return text;
  size_t length = lead < 0xC2 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 1;
  for (size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return text + 1;
  return text + length;
}

size_t WidenText(std::string_view text, std::span<wchar_t> out) {
  if (out.empty()) return 0;
  size_t n = std::min(text.size(), out.size() - 1);
  for (size_t i = 0; i < n; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    out[i] = c < 0x80 ? static_cast<wchar_t>(c) : L'?';
  }
  out[n] = L'\0';
  return n;
}

size_t WideLength(std::span<const wchar_t> buffer) {
  return static_cast<size_t>(std::find(buffer.begin(), buffer.end(), L'\0') - buffer.begin());
}

bool AppendWide(std::span<wchar_t> buffer, std::wstring_view text) {
  if (buffer.empty()) return text.empty();
  size_t length = std::min(WideLength(buffer), buffer.size() - 1);
  size_t n = std::min(text.size(), buffer.size() - 1 - length);
  std::copy_n(text.begin(), n, buffer.begin() + static_cast<ptrdiff_t>(length));
  buffer[length + n] = L'\0';
  return n == text.size();
}

bool ReadDecimal(std::string_view text, int32_t* value) {
  size_t i = 0;
  auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  // Accumulate in 64 bits and stop growing once beyond the 32-bit range.
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    magnitude = std::min(magnitude * 10 + (text[i] - '0'), kLimit);
  int64_t signed_value = negative ? -magnitude : magnitude;
  *value = static_cast<int32_t>(std::clamp<int64_t>(signed_value, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
  return true;
}

int32_t TextToInt(std::string_view text) {
  int32_t value = 0;
  return ReadDecimal(text, &value) ? value : 0;
}

}  // namespace fenra
