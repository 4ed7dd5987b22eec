#include "diagnostics/trace_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace fenra {
namespace {

constexpr const char* kTraceKey = "SOFTWARE\\QOR\\QVMAlertMan";
constexpr const char* kTraceDirValue = "TempDir";
// fenratrace1.log and fenratrace2.log.
constexpr const char* kTraceFileName = "fenratrace1.log";
constexpr size_t kTraceFileDigitFromEnd = 5;
constexpr size_t kPathBufferSize = 260;

// The path of fenratrace1.log: TempDir immediately followed by the name; false
// when TempDir is missing or unreadable.
bool ReadTracePath(Registry& registry, std::string* path) {
  RegKeyPtr key;
  if (registry.OpenKey(Hive::kLocalMachine, kTraceKey, win::kKeyQueryValue, &key) != 0) return false;
  uint32_t size = 0;
  if (registry.QueryValue(*key, kTraceDirValue, nullptr, nullptr, &size) != 0) return false;
  uint8_t buff_path[kPathBufferSize] = {};
  size = sizeof(buff_path);
  if (registry.QueryValue(*key, kTraceDirValue, nullptr, buff_path, &size) != 0) return false;
  // A value stored without a terminator must not run past the buffer.
  size_t length = strnlen(reinterpret_cast<const char*>(buff_path), size);
  path->reserve(length + strlen(kTraceFileName));
  path->assign(reinterpret_cast<const char*>(buff_path), length);
  path->append(kTraceFileName);
  return true;
}

// `value` in decimal, zero-padded to `width` digits as printf's "%0*d";
// returns the end.
char* PutNumber(char* out, unsigned value, int width) {
  char digits[8];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count < width) digits[count++] = '0';
  while (count > 0) *out++ = digits[--count];
  return out;
}

// The stamp "%d/%02d/%02d %02d:%02d'%02d\"%03d " of `now` (at most 34
// characters), written without printf, which costs as much as a quarter of
// a system call.
size_t PutStamp(char* out, const LocalTime& now) {
  struct Field {
    char separator;
    unsigned value;
    int width;
  };
  char* end = PutNumber(out, now.year, 1);
  for (const Field& field : {Field{'/', now.month, 2}, Field{'/', now.day, 2}, Field{' ', now.hour, 2},
                             Field{':', now.minute, 2}, Field{'\'', now.second, 2},
                             Field{'"', now.milliseconds, 3}}) {
    *end++ = field.separator;
    end = PutNumber(end, field.value, field.width);
  }
  *end++ = ' ';
  return static_cast<size_t>(end - out);
}

// TempDir is another product's folder, one users may be able to create files
// in: a trace file planted there (a link, another's file) counts as one
// that cannot be opened.
FilePtr OpenForAppend(Files& files, const std::string& path, uint32_t disposition) {
  return files.CreateTrustedFile(path, win::kGenericWrite, win::kFileShareRead, disposition);
}

// True when the file could not be opened or sized, or is beyond the limit.
bool IsFull(Files& files, File* file) {
  uint64_t size = 0;
  return file == nullptr || !files.GetFileSize(*file, &size) || size > Trace::kMaxFileSize;
}

}  // namespace

void Trace::TraceLog(const char* message) {
  Kernel& kernel = platform_.kernel;
  Handle mutex = hTraceMutex.load();
  // An abandoned mutex (its owner ended holding it) is owned all the same.
  uint32_t wait = mutex ? kernel.WaitForSingleObject(mutex, win::kInfinite) : win::kWaitFailed;
  bool holds_mutex = wait == win::kWaitObject0 || wait == win::kWaitAbandoned0;
  // Read before the line lock: no kernel call is made under that lock, so a
  // thread that its process's end parks at a kernel call never holds it.
  LocalTime now = kernel.GetLocalTime();
  {
    // Also serialises the lines written while no trace mutex exists, and
    // those of threads still running after it was closed.
    MutexLock lock(line_lock_);
    AppendLine(message ? message : "", now);
  }

  if (holds_mutex) kernel.ReleaseMutex(mutex);
}

bool Trace::AppendLine(const char* message, const LocalTime& now) {
  std::string path;
  if (!ReadTracePath(platform_.registry, &path)) return false;
  // The full path must fit the platform's 260-byte path buffer. The two
  // names differ in their digit only.
  if (path.size() > kPathBufferSize - 1) return false;
  auto path_of = [&path](int number) -> const std::string& {
    path[path.size() - kTraceFileDigitFromEnd] = static_cast<char>('0' + number);
    return path;
  };

  Files& files = platform_.files;
  if (nTraceFileNo == 0) {
    FilePtr first = OpenForAppend(files, path_of(1), win::kOpenAlways);
    nTraceFileNo = IsFull(files, first.get()) ? 2 : 1;
  }
  int number = nTraceFileNo;
  FilePtr file = OpenForAppend(files, path_of(number), win::kOpenAlways);
  if (IsFull(files, file.get())) {
    file.reset();
    number = 3 - number;
    nTraceFileNo = number;
    file = OpenForAppend(files, path_of(number), win::kCreateAlways);
  }
  if (!file) return false;

  // The line is written by its length: the rest of the buffer is never
  // read, so it is not cleared.
  size_t length = PutStamp(cWkTraceArea, now);
  size_t room = kMaxLineText - length;
  size_t message_length = strnlen(message, room);
  memcpy(cWkTraceArea + length, message, message_length);
  length += message_length;
  cWkTraceArea[length++] = '\r';
  cWkTraceArea[length++] = '\n';

  uint32_t written = 0;
  if (!files.SetFilePointer(*file, 0, win::kFileEnd, nullptr)) return false;
  return files.WriteFile(*file, cWkTraceArea, static_cast<uint32_t>(length), &written);
}

void Trace::TraceLogF(const char* format, ...) {
  char cWkArea[256] = {};
  va_list args;
  va_start(args, format);
  vsnprintf(cWkArea, sizeof(cWkArea), format, args);
  va_end(args);
  TraceLog(cWkArea);
}

Handle Trace::CreateTraceMutex() {
  Handle mutex = platform_.kernel.CreateMutex(false);
  hTraceMutex.store(mutex);
  return mutex;
}

void Trace::CloseTraceMutex() { hTraceMutex.take(); }

}  // namespace fenra
