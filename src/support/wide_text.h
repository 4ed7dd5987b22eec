#pragma once
// Wide texts in fixed-size buffers, and the narrow/wide conversions of the
// texts the system exchanges with WMI (class names, instance names, event
// text). Nothing is ever written past a buffer; results are always
// terminated.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/system.h"

namespace fenra {

// A WMI text as the system's 8-bit texts are: in the platform's ANSI code
// page (System::ToAnsi; a character the code page lacks becomes '?'). At
// most out.size() - 1 bytes and a terminator; a text that does not fit is
// cut between whole characters, never inside a multibyte one (nor between
// the halves of a surrogate pair). Returns the number of bytes copied.
size_t NarrowText(System& system, std::wstring_view text, std::span<char> out);

// The character after the one `text` points at, in UTF-8: a whole sequence
// is one character, a byte that does not start a complete sequence is one
// of its own; `text` itself at its terminator. CharNextA where the ANSI code
// page is UTF-8.
const char* NextUtf8Character(const char* text);

// The system's own names (WMI classes and targets) are 7-bit ASCII;
// anything else becomes '?'. Copies at most out.size() - 1 characters and a
// terminator; returns the number copied.
size_t WidenText(std::string_view text, std::span<wchar_t> out);

// Length of the terminated text in `buffer` (buffer.size() when there is no
// terminator).
size_t WideLength(std::span<const wchar_t> buffer);

// Appends what fits of `text` to the terminated text in `buffer`; returns
// false when it had to cut the text off.
bool AppendWide(std::span<wchar_t> buffer, std::wstring_view text);

// A signed decimal number as sscanf's %d reads it: leading white space, an
// optional sign, digits up to the first non-digit. False (value untouched)
// when there are no digits. Values beyond the 32-bit range saturate.
bool ReadDecimal(std::string_view text, int32_t* value);

// atoi: ReadDecimal, or 0 when there is no number.
int32_t TextToInt(std::string_view text);

}  // namespace fenra
