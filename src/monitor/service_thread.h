#pragma once
// The monitor's main thread: reads the settings, waits out the start-up
// delay while listening for a stop, determines the platform, thresholds and
// alert texts, starts the timer manager and the three WMI threads, and then
// waits until the service stops or one of its worker threads ends.

#include <cstdint>

#include "runtime.h"

namespace fenra {

// Thread procedure. Returns 1 when the settings key cannot be opened, 0 on
// every other path.
uint32_t ServiceThread(Runtime& runtime);

// Loads the alert templates (with their English fallbacks) and the display
// names of the device classes of `config`'s platform generation into
// `config`. False, after its trace line, when a display name is missing.
bool LoadAlertTexts(Runtime& runtime, MonitorConfig* config);

// The settings key and the two INI files in the current directory.
inline constexpr const char* kSettingsKey = "SOFTWARE\\QOR\\QVMAgent\\FT";

struct IniSetting {
  const char* file;
  const char* section;
  const char* key;
  const char* default_text;  // the whole file written when the key is missing
};
inline constexpr IniSetting kSimplexFilterTimeSetting{"FENRA.ini", "MODE", "SIMPLEX_FILTER_TIME",
                                                      "[MODE]\r\nSIMPLEX_FILTER_TIME=1200\r\n"};
inline constexpr IniSetting kTimeoutValueSetting{"FENRATIMEOUT.ini", "MODE2", "TIMEOUT_VALUE",
                                                 "[MODE2]\r\nTIMEOUT_VALUE=30000\r\n"};

}  // namespace fenra
