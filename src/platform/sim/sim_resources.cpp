#include "platform/sim/sim_resources.h"

#include <cstring>

#include "platform/sim/last_error.h"
#include "platform/win_values.h"

namespace fenra::sim {
namespace {

struct StringEntry {
  uint32_t id;
  const char* english;
  const char* japanese;
};

constexpr StringEntry kStrings[] = {
#define FENRA_STRING(id, symbol, english, japanese) {id, english, japanese},
#include "resources/string_table.inc"
#undef FENRA_STRING
};

}  // namespace

int SimResources::LoadString(uint32_t id, char* buffer, int buffer_size) {
  for (const StringEntry& entry : kStrings) {
    if (entry.id != id) continue;
    if (buffer == nullptr || buffer_size <= 0) {
      SetLastError(win::kErrorInvalidParameter);
      return 0;
    }
    const char* text = language_ == UiLanguage::kJapanese ? entry.japanese : entry.english;
    size_t length = strlen(text);
    size_t room = static_cast<size_t>(buffer_size) - 1;
    if (length > room) {
      // Cut at a character boundary, never inside a UTF-8 sequence.
      length = room;
      while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    memcpy(buffer, text, length);
    buffer[length] = '\0';
    return static_cast<int>(length);
  }
  SetLastError(win::kErrorResourceNameNotFound);
  if (buffer != nullptr && buffer_size > 0) buffer[0] = '\0';
  return 0;
}

}  // namespace fenra::sim
