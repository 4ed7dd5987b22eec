#pragma once
// The executable's string table, English or Japanese by the machine's
// user-interface language. The simulated ANSI code page is UTF-8.

#include <string>

#include "platform/resources.h"

namespace fenra::sim {

enum class UiLanguage { kEnglish, kJapanese };

class SimResources final : public Resources {
 public:
  explicit SimResources(UiLanguage language) : language_(language) {}

  int LoadString(uint32_t id, char* buffer, int buffer_size) override;

 private:
  const UiLanguage language_;
};

}  // namespace fenra::sim
