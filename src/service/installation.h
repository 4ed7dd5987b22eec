#pragma once
// Helpers of the installation: WOW64 detection and the event sources.

#include "platform/platform.h"

namespace fenra {

// TRUE when the process is a 32-bit process on 64-bit Windows.
bool IsWow64(Platform& platform);

// Creates the System log's event source `source_name` with the message file
// `message_file` (at most 255 characters are kept) and the types error,
// warning and information. An existing source is left as it is, even when
// its message file is stale. Failures are silent.
void InstallEventSource(Platform& platform, const char* message_file, const char* source_name);

}  // namespace fenra
