#include "platform/sim/wql.h"

#include <gtest/gtest.h>

#include <cwchar>


namespace fenra::sim {
namespace {

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
