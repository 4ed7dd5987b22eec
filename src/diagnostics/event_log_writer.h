#pragma once
// The three event-log writers. Each call opens the source, writes one
// record with exactly one insertion string, and closes the source again.
// They keep no state and take no lock. Results: 0 written, -1 not.

#include <cstdint>

#include "platform/platform.h"

namespace fenra {

// Size of the composed error text buffer, terminator included.
inline constexpr size_t kErrorTextSize = 1024;

// A null `text` writes an empty insertion string. A null `file` (the
// caller's source-file name) writes nothing and returns -1.
int16_t WriteEventLog(Platform& platform, int16_t source, uint32_t event_id, const char* text,
                      uint16_t type, const char* file, int line);

// The insertion string is the composed error text of `error_code`.
int WriteEventLogError(Platform& platform, int16_t source, uint32_t event_id, uint16_t type,
                       uint32_t error_code, const char* function, const char* file, int line);
int WriteEventLogErrorData(Platform& platform, int16_t source, uint32_t event_id, uint16_t type,
                           uint32_t error_code, const char* function, const void* data,
                           uint32_t data_size, const char* file, int line);

// The error text: a head naming the function (when given) and the signed
// error code, then the system's message text, cut so that the whole text
// holds at most kErrorTextSize - 1 characters; "Unknown Error\r\n" when
// the system has no text for the code.
std::string ComposeErrorText(Platform& platform, uint32_t error_code, const char* function);

}  // namespace fenra
