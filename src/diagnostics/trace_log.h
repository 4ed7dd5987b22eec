#pragma once
// The rotating trace log: two files in the directory named by the registry
// value TempDir, one time-stamped line per call, nothing cached.

#include "platform/platform.h"
#include "support/shared_handle.h"
#include "support/thread_annotations.h"

namespace fenra {

class Trace {
 public:
  explicit Trace(Platform& platform) : platform_(platform) {}

  // Writes one line. Never fails visibly and never blocks on anything but
  // the trace mutex; a line that cannot be written is lost. Thread-safe,
  // callable before the trace mutex exists and after it is closed.
  void TraceLog(const char* message);
  // Formats printf-style into a zero-filled 256-byte work area (text beyond
  // 255 characters is cut off), then writes it with TraceLog.
  void TraceLogF(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // The unnamed trace mutex; null when it cannot be created.
  Handle CreateTraceMutex();
  void CloseTraceMutex();
  bool HasTraceMutex() const { return static_cast<bool>(hTraceMutex.load()); }

  // File size beyond which the current file is left for the other one.
  static constexpr uint64_t kMaxFileSize = 0xA0000;
  // Longest time stamp plus message; the rest of a longer line is cut off.
  static constexpr size_t kMaxLineText = 10000;

 private:
  bool AppendLine(const char* message, const LocalTime& now) FENRA_REQUIRES(line_lock_);

  Platform& platform_;
  SharedHandle hTraceMutex;
  // One lock for the whole life of the process.
  Mutex line_lock_;
  // 0 = no file chosen yet, else 1 or 2.
  int nTraceFileNo FENRA_GUARDED_BY(line_lock_) = 0;
  // The line being written.
  char cWkTraceArea[kMaxLineText + 2] FENRA_GUARDED_BY(line_lock_) = {};
};

}  // namespace fenra
