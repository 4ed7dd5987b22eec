#include "platform/sim/wql.h"

#include <gtest/gtest.h>

#include <cwchar>

#include "wmi/wmi_tables.h"

namespace fenra::sim {
namespace {

TEST(Wql, TheSystemsThreeQueryShapes) {
  WqlQuery query;
  ASSERT_TRUE(ParseWql(std::wstring(kStatusQueryPrefix) + L"DOD_CPUBoard", &query));
  EXPECT_EQ(query.properties, (std::vector<std::string>{"OperationalState", "InstanceName"}));
  EXPECT_EQ(query.class_name, "DOD_CPUBoard");
  EXPECT_TRUE(query.isa_property.empty());

  ASSERT_TRUE(ParseWql(std::wstring(kEventClassQueryPrefix) + L"DOD_IOAdapterStateChange", &query));
  EXPECT_EQ(query.properties.size(), 4u);
  EXPECT_EQ(query.class_name, "DOD_IOAdapterStateChange");

  ASSERT_TRUE(ParseWql(std::wstring(kIsaQueryPrefix) + L"'VUR_IOBoard'", &query));
  EXPECT_TRUE(query.properties.empty());
  EXPECT_EQ(query.class_name, "VUR_ODDeviceStateChangeEvent");
  EXPECT_EQ(query.isa_property, "Object");
  EXPECT_EQ(query.isa_class, "VUR_IOBoard");
}

TEST(Wql, RefusesWhatIsOutsideTheGrammar) {
  WqlQuery query;
  for (const wchar_t* text : {L"", L"select", L"select from X", L"select a, from X", L"select a b from X",
                              L"select * from", L"select * from X where", L"select * from X where Object ISA Y",
                              L"select * from X where Object ISA 'Y", L"select * from X trailing",
                              L"select * from X\u00e9", L"delete from X"})
    EXPECT_FALSE(ParseWql(text, &query)) << std::string(text, text + wcslen(text));
  EXPECT_TRUE(ParseWql(L"  SeLeCt  *  FROM  x  where Object isa \"y\"  ", &query));
}

}  // namespace
}  // namespace fenra::sim
