#pragma once
// Objects of the simulated provider and their MOF text, in the shape the
// platform's GetObjectText(0) gives:
//
//   \ninstance of DOD_CPUBoardStateChange\n{\n\tObjectKey = "cpu/0";\n
//   \tOperationalState = \ninstance of DOD_OperationalState\n{\n
//   \tState = 1572886;\n};\n;\n ... };\n
//
// One line per property with a value, "<TAB>Name = value;"; texts quoted
// with \" and \\ escaped; an embedded object as a nested block in the
// property's place; properties holding null are left out.

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/wmi.h"

namespace fenra::sim {

struct MofObject;
using MofObjectPtr = std::shared_ptr<const MofObject>;
using MofValue = std::variant<WmiNull, std::string, int32_t, MofObjectPtr>;

struct MofProperty {
  std::string name;
  MofValue value;
};

struct MofObject {
  std::string class_name;
  std::vector<MofProperty> properties;
};

std::wstring RenderMof(const MofObject& object);

}  // namespace fenra::sim
