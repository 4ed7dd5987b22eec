#pragma once
// The alert composer: one thread per announced change, which asks WMI for
// the current states of the group's modules (and, for PCI alerts, of the
// devices behind them) and writes one event-log record under QVMFTMarvix.

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime.h"

namespace fenra {

// What a timer hands its composer: the alert index (the timer index) and
// the occurrence time the manager recorded when it started that timer.
struct AlertRequest {
  int index = 0;
  std::string szOccurrenceTime;
};

// Thread procedure; always 1. Writes the record whatever WMI answers: an
// alert that has been started is never lost. Does not look at stopflg.
uint32_t EventLogOut(Runtime& runtime, const AlertRequest& request);

// The alert text holds at most this many bytes (its buffer's size less the
// terminator).
inline constexpr size_t kAlertTextLimit = 2047;

// Cuts `text` to at most `limit` bytes at a character boundary of the ANSI
// code page, as the platform's CharNext steps through it.
void CutAtCharacter(System& system, std::string* text, size_t limit);

// "%s" stands for `name` (its first occurrence), "%%" for a percent sign;
// every other character is copied as it stands. For templates loaded from
// resources, which must not be used as printf formats.
std::string FillTemplate(const char* text_template, const char* name);

}  // namespace fenra
