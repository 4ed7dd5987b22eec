#include <gtest/gtest.h>

#include "support/test_machine.h"
#include "wmi/instance_text.h"
#include "wmi/state_text.h"

namespace fenra {
namespace {

TEST(TracedLookups, UnknownStatesAndMissingTokensAreTraced) {
  testing::TestMachine machine;
  Trace trace(machine.platform());
  EXPECT_STREQ(StateTextA(trace, STATE_REMOVED), " REMOVED");
  EXPECT_EQ(std::wstring(StateTextW(trace, STATE_DUPLEX)), L" DUPLEX");
  EXPECT_STREQ(StateTextA(trace, 0x20005), " <<unknown>>");
  EXPECT_EQ(std::wstring(StateTextW(trace, 0x20005)), L" unknown");
  EXPECT_STREQ(StateTextA(trace, -1), " <<unknown>>");

  int32_t state = 0;
  char out[256] = {};
  EXPECT_EQ(GetOperationalState(trace, &state, "State = 1;"), -1);
  EXPECT_EQ(GetOperationalState(trace, &state, "instance of DOD_OperationalState\n{\n\tState = 1572887;\n};"), 0);
  EXPECT_EQ(state, STATE_TRIPLEX);
  EXPECT_EQ(GetDevicePathID(trace, out, "DevicePathId = \"{13,pci}\";"), 0);
  char parent[256] = {};
  EXPECT_EQ(GetParentInstanceName(trace, parent, out), 0);
  EXPECT_STREQ(parent, "13");
  EXPECT_EQ(GetParentInstanceName(trace, out, "{12"), -1);

  EXPECT_EQ(machine.TraceMessages(),
            (std::vector<std::string>{"[CheckState]unknown State = 131077", "[GetStatus]unknown State = 131077",
                                      "[CheckState]unknown State = -1",
                                      "[GetOperationalState]instance not found retrun -1",
                                      "[GetParentInstanceName]',' not found retrun -1"}));
}

}  // namespace
}  // namespace fenra
