// Any text as a WQL query to the simulated provider (the input's bytes in
// pairs, as UTF-16 units): refused, or parsed into a query that, written out
// again, parses to the same query.
#include <cstdint>
#include <string>

#include "platform/sim/wql.h"

using fenra::sim::ParseWql;
using fenra::sim::WqlQuery;

namespace {

std::wstring Write(const WqlQuery& query) {
  std::string text = "SELECT ";
  for (size_t i = 0; i < query.properties.size(); ++i) text += (i ? "," : "") + query.properties[i];
  if (query.properties.empty()) text += "*";
  text += " FROM " + query.class_name;
  if (!query.isa_property.empty()) {
    char quote = query.isa_class.find('\'') == std::string::npos ? '\'' : '"';
    text += " WHERE " + query.isa_property + " ISA " + quote + query.isa_class + quote;
  }
  return std::wstring(text.begin(), text.end());
}

bool Same(const WqlQuery& a, const WqlQuery& b) {
  return a.properties == b.properties && a.class_name == b.class_name && a.isa_property == b.isa_property &&
         a.isa_class == b.isa_class;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring text;
  for (size_t i = 0; i + 1 < size; i += 2) text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
  WqlQuery query;
  if (!ParseWql(text, &query)) return 0;
  WqlQuery again;
  if (!ParseWql(Write(query), &again) || !Same(query, again)) __builtin_trap();
  return 0;
}
