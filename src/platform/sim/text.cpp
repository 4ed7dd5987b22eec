#include "platform/sim/text.h"

#include <cstring>

namespace fenra::sim {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at text[*pos]; false (and *pos untouched) when the
// bytes there are no valid UTF-8: overlong forms, surrogates (unless
// `surrogates`, for WTF-8) and values beyond U+10FFFF are refused.
bool DecodeUtf8(std::string_view text, size_t* pos, char32_t* code_point, bool surrogates = false) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  size_t i = *pos;
  uint8_t lead = byte(i);
  size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    *code_point = lead;
    *pos = i + 1;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (text.size() - i < length) return false;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return false;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (!surrogates && value >= 0xD800 && value <= 0xDFFF)) return false;
  *code_point = value;
  *pos = i + length;
  return true;
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool IsValid(std::string_view text, bool surrogates) {
  char32_t c = 0;
  for (size_t pos = 0; pos < text.size();) {
    if (!DecodeUtf8(text, &pos, &c, surrogates)) return false;
  }
  return true;
}

// An unpaired surrogate becomes U+FFFD, or stays itself for WTF-8.
std::string FromUtf16Le(const uint8_t* data, size_t size, bool keep_surrogates) {
  std::string out;
  size_t units = size / 2;
  auto unit = [data](size_t i) { return static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8)); };
  for (size_t i = 0; i < units; ++i) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF && !keep_surrogates) {
      c = kReplacement;
    }
    AppendUtf8(c, &out);
  }
  return out;
}

std::vector<uint8_t> ToUtf16Le(std::string_view text, bool surrogates) {
  std::vector<uint8_t> out;
  out.reserve(text.size() * 2);
  auto put = [&out](char32_t u) {
    out.push_back(static_cast<uint8_t>(u & 0xFF));
    out.push_back(static_cast<uint8_t>(u >> 8));
  };
  char32_t c = 0;
  for (size_t pos = 0; pos < text.size();) {
    if (!DecodeUtf8(text, &pos, &c, surrogates)) {
      c = kReplacement;
      ++pos;
    }
    if (c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

}  // namespace

bool IsValidUtf8(std::string_view text) { return IsValid(text, false); }

std::string ToValidUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string out;
  char32_t c = 0;
  for (size_t pos = 0; pos < text.size();) {
    if (DecodeUtf8(text, &pos, &c)) {
      AppendUtf8(c, &out);
    } else {
      AppendUtf8(kReplacement, &out);
      ++pos;
    }
  }
  return out;
}

std::string PrintableText(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  char32_t c = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t start = pos;
    bool valid = DecodeUtf8(text, &pos, &c);
    if (valid && c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0)) {
      out.append(text.substr(start, pos - start));
      continue;
    }
    // An invalid sequence is escaped one byte at a time; a valid control
    // character (one or two bytes) whole.
    if (!valid) pos = start + 1;
    for (size_t i = start; i < pos; ++i) {
      auto byte = static_cast<uint8_t>(text[i]);
      out += "\\x";
      out += kDigits[byte >> 4];
      out += kDigits[byte & 0xF];
    }
  }
  return out;
}

std::string FileErrorText(const std::filesystem::path& file, int error) {
  return PrintableText(file.string()) + ": " + std::strerror(error);
}

std::string Utf16LeToUtf8(const uint8_t* data, size_t size) { return FromUtf16Le(data, size, false); }
std::vector<uint8_t> Utf8ToUtf16Le(std::string_view text) { return ToUtf16Le(text, false); }

bool IsValidWtf8(std::string_view text) { return IsValid(text, true); }

std::string Utf16LeToWtf8(const uint8_t* data, size_t size) { return FromUtf16Le(data, size, true); }
std::vector<uint8_t> Wtf8ToUtf16Le(std::string_view text) { return ToUtf16Le(text, true); }

std::string WideToUtf8(std::wstring_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<char32_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
      c = kReplacement;
    }
    AppendUtf8(c, &out);
  }
  return out;
}

std::wstring Utf8ToWide(std::string_view text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    if (!DecodeUtf8(text, &i, &c)) {
      c = kReplacement;
      ++i;
    }
    out += static_cast<wchar_t>(c);
  }
  return out;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool LessIgnoreCase::operator()(std::string_view a, std::string_view b) const {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    auto x = static_cast<unsigned char>(AsciiLower(a[i]));
    auto y = static_cast<unsigned char>(AsciiLower(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool DecodeTextFile(std::string_view bytes, std::string* text) {
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) return false;
    *text = Utf16LeToUtf8(reinterpret_cast<const uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
    return true;
  }
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  text->assign(bytes);
  return true;
}

}  // namespace fenra::sim
