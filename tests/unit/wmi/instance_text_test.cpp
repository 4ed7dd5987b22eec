#include "wmi/instance_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace fenra {
namespace {

const std::string kEventText =
    "\ninstance of DOD_CPUBoardStateChange\n{\n\tObjectKey = \"cpu/0\";\n"
    "\tOperationalState = \ninstance of DOD_OperationalState\n{\n\tState = 524309;\n};\n;\n"
    "\tDevicePathId = \"{12,pci}\";\n\tStatus = 0;\n};\n";

TEST(GetOperationalState, ReadsTheNumberAfterTheMarkerOrReportsTheMissingToken) {
  int32_t state = 0;
  EXPECT_EQ(FindOperationalState(kEventText.c_str(), &state), nullptr);
  EXPECT_EQ(state, 524309);
  // The outer "OperationalState = " also ends in "State = ", but before the marker.
  state = 7;
  EXPECT_EQ(FindOperationalState("OperationalState = 99; instance of DOD_OperationalState{ State = -5;", &state),
            nullptr);
  EXPECT_EQ(state, -5);

  // Each missing token is reported, and the state left as it was.
  state = 42;
  EXPECT_STREQ(FindOperationalState("State = 1572886;", &state), "[GetOperationalState]instance not found retrun -1");
  EXPECT_STREQ(FindOperationalState("x instance of DOD_OperationalState", &state),
               "[GetOperationalState]size error retrun -1");
  EXPECT_STREQ(FindOperationalState("instance of DOD_OperationalState { Sta", &state),
               "[GetOperationalState]state not found retrun -1");
  EXPECT_STREQ(FindOperationalState("instance of DOD_OperationalState { State = 524309", &state),
               "[GetOperationalState]';' not found retrun -1");
  EXPECT_STREQ(FindOperationalState("", &state), "[GetOperationalState]instance not found retrun -1");
  EXPECT_STREQ(FindOperationalState(nullptr, &state), "[GetOperationalState]instance not found retrun -1");
  EXPECT_EQ(state, 42);
}

TEST(GetOperationalState, ValueWithoutNumberOrTooLongKeepsWithinItsBuffer) {
  int32_t state = 42;
  EXPECT_EQ(FindOperationalState("instance of DOD_OperationalState{State = abc;", &state), nullptr);
  EXPECT_EQ(state, 42);
  // Only the first 24 characters count: 30 blanks leave no digit to read.
  std::string padded = "instance of DOD_OperationalState{State = " + std::string(30, ' ') + "524309;";
  EXPECT_EQ(FindOperationalState(padded.c_str(), &state), nullptr);
  EXPECT_EQ(state, 42);
  EXPECT_EQ(FindOperationalState("instance of DOD_OperationalState{State = 99999999999999999999;", &state), nullptr);
  EXPECT_EQ(state, INT32_MAX);
}

TEST(GetDevicePathID, CopiesTheValueWithItsQuotesAndFindsTheParentOrReportsTheMissingToken) {
  char path[256];
  memset(path, 0, sizeof(path));
  ASSERT_EQ(FindDevicePathID(kEventText.c_str(), path), nullptr);
  EXPECT_STREQ(path, "\"{12,pci}\"");
  char parent[256] = {};
  ASSERT_EQ(FindParentInstanceName(path, parent), nullptr);
  EXPECT_STREQ(parent, "12");

  // Missing tokens are reported and the buffer left alone.
  char out[256] = "untouched";
  EXPECT_STREQ(FindDevicePathID("no path here;", out), "[GetDevicePathID]DevicePathID not found retrun -1");
  EXPECT_STREQ(FindDevicePathID("DevicePathId = ", out), "[GetDevicePathID]size error retrun -1");
  EXPECT_STREQ(FindDevicePathID("DevicePathId = \"{1,2}\"", out), "[GetDevicePathID]';' not found retrun -1");
  EXPECT_STREQ(FindParentInstanceName("\"12,3\"", out), "[GetParentInstanceName]'{' not found retrun -1");
  EXPECT_STREQ(FindParentInstanceName("\"{", out), "[GetParentInstanceName]size error retrun -1");
  EXPECT_STREQ(FindParentInstanceName("\"{12}\"", out), "[GetParentInstanceName]',' not found retrun -1");
  EXPECT_STREQ(out, "untouched");
}

TEST(GetDevicePathID, RefusesValuesThatDoNotFitAndNeverWritesPastTheBuffer) {
  char out[8];
  memset(out, 'x', sizeof(out));
  EXPECT_STREQ(FindDevicePathID("DevicePathId = 12345678;", out), "[GetDevicePathID]size error retrun -1");
  EXPECT_EQ(out[0], 'x');
  ASSERT_EQ(FindDevicePathID("DevicePathId = 1234567;", out), nullptr);
  EXPECT_STREQ(out, "1234567");
  memset(out, 'x', sizeof(out));
  EXPECT_STREQ(FindParentInstanceName("{12345678,", out), "[GetParentInstanceName]size error retrun -1");
  ASSERT_EQ(FindParentInstanceName("{1234567,", out), nullptr);
  EXPECT_STREQ(out, "1234567");
  // The full-size buffer: a 256-character path is refused, 255 fit.
  char full[256];
  std::string long_path = "DevicePathId = " + std::string(256, 'p') + ";";
  EXPECT_STREQ(FindDevicePathID(long_path.c_str(), full), "[GetDevicePathID]size error retrun -1");
  long_path = "DevicePathId = " + std::string(255, 'p') + ";";
  EXPECT_EQ(FindDevicePathID(long_path.c_str(), full), nullptr);
  EXPECT_EQ(strlen(full), 255u);
}

}  // namespace
}  // namespace fenra
