#pragma once
// Bounded text helpers for the system's fixed-size buffers: they never
// write past the buffer and always leave it terminated.

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/thread_annotations.h"

namespace fenra {

// Copies at most size - 1 characters of `text` and a terminator.
inline void CopyText(char* buffer, size_t size, const char* text) {
  if (size == 0) return;
  size_t n = text ? strnlen(text, size - 1) : 0;
  if (n != 0) memcpy(buffer, text, n);  // a null text copies nothing
  buffer[n] = '\0';
}

template <size_t N>
void CopyText(char (&buffer)[N], const char* text) {
  CopyText(buffer, N, text);
}

// snprintf into a fixed buffer (zero-filled first); text that does not fit
// is cut off.
template <size_t N>
__attribute__((format(printf, 2, 3))) void FormatText(char (&buffer)[N], const char* format, ...) {
  memset(buffer, 0, N);
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, N, format, args);
  va_end(args);
}

// printf into a std::string of exactly the needed size.
__attribute__((format(printf, 1, 2))) inline std::string StringPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

// A fixed-size text that several threads read and replace as a whole.
template <size_t N>
class GuardedText {
 public:
  explicit GuardedText(const char* initial = "") { CopyText(text_, initial); }
  std::string get() const {
    MutexLock lock(mutex_);
    return text_;
  }
  void set(const char* text) {
    MutexLock lock(mutex_);
    CopyText(text_, text);
  }
  static constexpr size_t capacity() { return N; }

 private:
  mutable Mutex mutex_;
  char text_[N] FENRA_GUARDED_BY(mutex_) = {};
};

}  // namespace fenra
