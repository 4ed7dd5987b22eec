#include "platform/sim/mof_text.h"

#include "platform/sim/text.h"

namespace fenra::sim {
namespace {

std::wstring Quote(const std::string& text) {
  std::wstring quoted = L"\"";
  for (wchar_t c : Utf8ToWide(text)) {
    if (c == L'"' || c == L'\\') quoted += L'\\';
    quoted += c;
  }
  return quoted + L"\"";
}

std::wstring RenderValue(const MofValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return Quote(*text);
  if (const auto* number = std::get_if<int32_t>(&value)) return std::to_wstring(*number);
  if (const auto* object = std::get_if<MofObjectPtr>(&value); object && *object) return RenderMof(**object);
  return L"NULL";
}

}  // namespace

std::wstring RenderMof(const MofObject& object) {
  std::wstring text = L"\ninstance of " + Utf8ToWide(object.class_name) + L"\n{\n";
  for (const MofProperty& property : object.properties) {
    if (std::holds_alternative<WmiNull>(property.value)) continue;
    if (const auto* embedded = std::get_if<MofObjectPtr>(&property.value); embedded && !*embedded) continue;
    text += L"\t" + Utf8ToWide(property.name) + L" = " + RenderValue(property.value) + L";\n";
  }
  return text + L"};\n";
}

}  // namespace fenra::sim
