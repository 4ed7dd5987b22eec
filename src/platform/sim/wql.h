#pragma once
// The WQL the simulated provider understands: what the system sends.
//
//   SELECT <property>[,<property>...] | * FROM <class>
//          [WHERE <property> ISA '<class>']
//
// Keywords, class and property names are case-insensitive.

#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/text.h"

namespace fenra::sim {

struct WqlQuery {
  std::vector<std::string> properties;  // empty for "*"
  std::string class_name;
  std::string isa_property;  // WHERE <isa_property> ISA '<isa_class>'; empty without WHERE
  std::string isa_class;
};

// False for a text outside the grammar (also for characters outside ASCII).
bool ParseWql(std::wstring_view text, WqlQuery* query);

}  // namespace fenra::sim
