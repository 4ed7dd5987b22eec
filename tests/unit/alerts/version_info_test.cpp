#include "alerts/version_info.h"

#include <gtest/gtest.h>

#include <cctype>

#include "support/service_process.h"

namespace fenra {
namespace {

using sim::LibraryFacts;
using sim::SdrAnswer;
using sim::VersionResourceFacts;
using testing::ServiceProcess;
using Traces = std::vector<std::string>;

constexpr const char* kPlatformKey = "SOFTWARE\\QOR\\Trelvane";

class CheckSWVersionTest : public ::testing::Test {
 protected:
  void SetDriverVersion(std::optional<FixedFileVersion> version) {
    sim::SimVersionInfo& files = process.machine->version_info();
    files.SetFile(files.DriverPath(), VersionResourceFacts{version, {}});
  }
  ServiceProcess process;
  MonitorState& monitor = process.monitor;
};

// Without SOFTWARE\QOR\Trelvane the driver file's version names the
// platform version; the registry value itself is pinned by every scenario,
// a driver file without a version resource by core_generation_2.
TEST_F(CheckSWVersionTest, WithoutTheKeyTheDriverFileVersionNamesTheVersionOrItIsUnknown) {
  enum Kind { kFixed, kNoFile };
  struct Case {
    Kind kind;
    std::optional<FixedFileVersion> version;
    const char* expected;  // the version, or the trace of an unknown one
  };
  const std::string size_failed = "GetFileVersionInfoSize C:\\Windows\\system32\\drivers\\zerod.sys Error = ";
  for (const Case& c : {Case{kFixed, FixedFileVersion{1, 1, 23, 9}, "1.1"},
                        Case{kFixed, FixedFileVersion{1, 0, 197, 14}, "1.0.2"},
                        Case{kFixed, FixedFileVersion{1, 0, 18, 2}, "1.0"},
                        Case{kFixed, FixedFileVersion{1, 1, 239, 0}, "1.1"},
                        Case{kFixed, FixedFileVersion{2, 0, 0, 0}, "File Version old"},
                        Case{kFixed, FixedFileVersion{1, 1, 23, 8}, "File Version old"},
                        Case{kFixed, std::nullopt, "File Version old"},  // a resource without its fixed part
                        Case{kNoFile, std::nullopt, "2"}}) {
    sim::SimVersionInfo& files = process.machine->version_info();
    if (c.kind == kFixed) SetDriverVersion(c.version);
    if (c.kind == kNoFile) files.RemoveFile(files.DriverPath());
    bool known = c.kind == kFixed && std::isdigit(static_cast<unsigned char>(c.expected[0]));
    monitor.szSWVersion.set(known ? "unknown" : "1.1");
    process.NewTraces();
    EXPECT_EQ(CheckSWVersion(process.runtime), known ? 1 : 0) << c.expected;
    EXPECT_EQ(monitor.szSWVersion.get(), known ? c.expected : "unknown");
    Traces traces{"[CheckSWVersion]OpenKey SOFTWARE\\QOR\\Trelvane faild // ret = 2"};
    if (known) {
      traces.push_back(std::string("[CheckSWVersion]TrelvaneVersion = ") + c.expected);
      traces.push_back("[CheckSWVersion]FileVersion = 8, 0, 0, 2");
    } else {
      traces.push_back("[CheckSWVersion]" + (c.kind == kFixed ? "" : size_failed) + c.expected);
    }
    EXPECT_EQ(process.NewTraces(), traces);
  }
}

// A registry value that cannot be taken as the version does not lead to
// the driver file.
TEST_F(CheckSWVersionTest, AnUnusableRegistryValueIsUnknownWithoutLookingAtTheDriver) {
  struct Case {
    uint32_t type;
    std::string data;
    const char* trace;
  };
  for (const Case& c : {Case{win::kRegSz, std::string(16, '5') + '\0', "dnum = 17"},
                        Case{win::kRegSz, std::string(16, '5'), "dnum = 16"},
                        Case{win::kRegDword, std::string("\5\0\0\0", 4), "ret = 13"}}) {
    process.SetValue(kPlatformKey, "TrelvaneVersion", c.type, std::vector<uint8_t>(c.data.begin(), c.data.end()));
    monitor.szSWVersion.set("1.1");
    process.NewTraces();
    EXPECT_EQ(CheckSWVersion(process.runtime), 0) << c.trace;
    EXPECT_EQ(monitor.szSWVersion.get(), "unknown");
    EXPECT_EQ(process.NewTraces(), (Traces{std::string("[CheckSWVersion]GetKeyVal TrelvaneVersion faild // ") + c.trace}));
  }
  // Fifteen characters and the terminator fit.
  process.SetText(kPlatformKey, "TrelvaneVersion", std::string(15, '5') + '\0');
  EXPECT_EQ(CheckSWVersion(process.runtime), 1);
  EXPECT_EQ(monitor.szSWVersion.get(), std::string(15, '5'));

  process.DeleteValue(kPlatformKey, "TrelvaneVersion");
  process.NewTraces();
  EXPECT_EQ(CheckSWVersion(process.runtime), 0);
  EXPECT_EQ(process.NewTraces(), (Traces{"[CheckSWVersion]QueryValue TrelvaneVersion faild // ret = 2"}));
}

// The firmware revision, on virtual time.
class FirmwareRevisionTest : public ::testing::Test {
 protected:
  FirmwareRevisionTest() { process.monitor.hServiceEvent.store(kernel.CreateEvent(true, false)); }

  static LibraryFacts Library(std::vector<SdrAnswer> script) {
    LibraryFacts facts{.present = true, .sdr_status = std::move(script)};
    facts.device_id[3] = 0x81;
    facts.device_id[4] = 0x23;
    return facts;
  }
  static sim::IpmiFacts Ipmi() {
    sim::IpmiFacts facts;
    facts.present = true;
    facts.answer = {0x00, 0x20, 0x81, 0x81, 0x23, 0x51};
    return facts;
  }
  int Read() { return Frusys_Get_Bmc_Fw_Revision(process.runtime, revision, sizeof(revision)); }

  ServiceProcess process;
  Kernel& kernel = process.kernel;
  sim::SimHardware& hardware = process.machine->hardware();
  char revision[256] = {};
};

TEST_F(FirmwareRevisionTest, TheLibraryMasksTheAvailableBitAndTheDriverDoesNot) {
  hardware.SetLibrary(Library({{1, 1, 1}}));
  hardware.SetIpmi(Ipmi());
  EXPECT_EQ(Read(), 1);
  EXPECT_STREQ(revision, "01.23");
  EXPECT_TRUE(process.NewTraces().empty());

  LibraryFacts without_device_id = Library({{1, 1, 1}});
  without_device_id.device_id_entry = false;
  hardware.SetLibrary(without_device_id);
  ReleaseHardwareLibrary(process.monitor);
  EXPECT_EQ(Read(), 1);
  EXPECT_STREQ(revision, "81.23");
  EXPECT_EQ(process.NewTraces(), (Traces{"[Frusys_Get_Bmc_Fw_Revision]IPMIFunction GetProcAddress Error = 127",
                                         "[Frusys_Get_Bmc_Fw_Revision]API address load faild"}));
  EXPECT_EQ(hardware.SdrStatusCalls(), 1);

  // A library that cannot be loaded sends the question to the driver too.
  hardware.SetLibrary(LibraryFacts{});
  ReleaseHardwareLibrary(process.monitor);
  EXPECT_EQ(Read(), 1);
  EXPECT_STREQ(revision, "81.23");
  EXPECT_EQ(process.NewTraces(), (Traces{"[Frusys_Get_Bmc_Fw_Revision]qvmsmsen.dll load Error = 126",
                                         "[Frusys_Get_Bmc_Fw_Revision]API address load faild"}));
}

// The 24 waits of 5 s, and a stop that ends them at once, are pinned by
// the sdr_never_ready scenario.
TEST_F(FirmwareRevisionTest, WithoutAStopEventTheWaitFailsAtOnce) {
  hardware.SetLibrary(Library({{1, 0, 1}}));
  process.monitor.hServiceEvent.store(nullptr);
  EXPECT_EQ(Read(), 0);
  EXPECT_STREQ(revision, "unknown");
  EXPECT_EQ(process.NewTraces(), (Traces{"[Frusys_Get_Bmc_Fw_Revision](i=0)(QVM_SDR_INIT) wait 5 sec //ret = 1",
                                         "[Frusys_Get_Bmc_Fw_Revision]WaitForSingleObject Error = 6",
                                         "[Frusys_Get_Bmc_Fw_Revision]ServiceEvent error// dwWake=ffffffff"}));
}

TEST_F(FirmwareRevisionTest, EveryFailureIsUnknownWithItsTrace) {
  LibraryFacts without_status = Library({{1, 1, 1}});
  without_status.sdr_status_entry = false;
  LibraryFacts failing_device_id = Library({{1, 1, 1}});
  failing_device_id.device_id_result = 0;
  LibraryFacts no_library;
  sim::IpmiFacts absent, refusing = Ipmi(), short_answer = Ipmi();
  refusing.io_control_result = false;
  short_answer.answer.resize(4);  // too short to hold bytes 3 and 4
  const std::string fw = "[Frusys_Get_Bmc_Fw_Revision]";
  const Traces driver_path = {fw + "GetSDRStatus GetProcAddress Error = 127", fw + "API address load faild"};
  const std::string api = fw + "API address load faild";
  struct Case {
    LibraryFacts library;
    sim::IpmiFacts ipmi;
    Traces traces;
  };
  for (const Case& c : {
           Case{no_library, absent, {fw + "qvmsmsen.dll load Error = 126", api, fw + "IPMIDEV open error"}},
           Case{without_status, refusing, {driver_path[0], driver_path[1], fw + "IPMI DeviceIoControl error"}},
           Case{without_status, short_answer, {driver_path[0], driver_path[1], fw + "IPMI DeviceIoControl error"}},
           Case{without_status, absent, {driver_path[0], driver_path[1], fw + "IPMIDEV open error"}},
           Case{Library({{0, 1, 1}}), Ipmi(), {fw + "GetSDRStatus faild ret = FALSE", fw + "dwSDRStatus = 1"}},
           Case{Library({{0, 2, 1}}), Ipmi(),
                {fw + "GetSDRStatus faild ret = FALSE", fw + "GetSDRStatus(QVM_SDR_DISABLE)"}},
           Case{Library({{1, 2, 1}}), Ipmi(), {fw + "GetSDRStatus(QVM_SDR_DISABLE)"}},
           Case{failing_device_id, Ipmi(), {fw + "IPMIFunction faild"}},
       }) {
    hardware.SetLibrary(c.library);
    hardware.SetIpmi(c.ipmi);
    ReleaseHardwareLibrary(process.monitor);
    process.NewTraces();
    revision[0] = '\0';
    EXPECT_EQ(Read(), 0);
    EXPECT_STREQ(revision, "unknown");
    EXPECT_EQ(process.NewTraces(), c.traces);
  }
}

// A release while an alert composer waits for the repository leaves the
// library loaded until the composer is done with it.
TEST_F(FirmwareRevisionTest, AReleasedLibraryStaysLoadedForARunningComposer) {
  hardware.SetLibrary(Library({{1, 0, 3}, {1, 1, 1}}));
  int result = -1;
  std::string composer_revision;
  Handle composer = kernel.CreateThread([&] {
    char text[256];
    result = Frusys_Get_Bmc_Fw_Revision(process.runtime, text, sizeof(text));
    composer_revision = text;
    return 0u;
  });
  kernel.Sleep(7000);
  ReleaseHardwareLibrary(process.monitor);
  EXPECT_EQ(hardware.LoadedLibraries(), 1);
  kernel.WaitForSingleObject(composer, win::kInfinite);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(composer_revision, "01.23");
  EXPECT_EQ(hardware.LoadedLibraries(), 0);

  // The next user loads it anew.
  EXPECT_EQ(Read(), 1);
  EXPECT_EQ(hardware.LoadedLibraries(), 1);
}

TEST_F(FirmwareRevisionTest, ConcurrentFirstUsersLoadTheLibraryOnce) {
  hardware.SetLibrary(Library({{1, 0, 2}, {1, 1, 1}}));
  std::array<std::string, 3> revisions;
  std::vector<Handle> composers;
  for (std::string& text : revisions) {
    composers.push_back(kernel.CreateThread([&] {
      char buffer[256];
      Frusys_Get_Bmc_Fw_Revision(process.runtime, buffer, sizeof(buffer));
      text = buffer;
      return 0u;
    }));
  }
  kernel.WaitForMultipleObjects(composers, true, win::kInfinite);
  for (const std::string& text : revisions) EXPECT_EQ(text, "01.23");
  EXPECT_EQ(hardware.LoadedLibraries(), 1);
  EXPECT_EQ(hardware.SdrStatusCalls(), 5);
}

}  // namespace
}  // namespace fenra
