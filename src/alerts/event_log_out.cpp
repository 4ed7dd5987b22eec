#include "alerts/event_log_out.h"

#include <cstring>
#include <string>

#include "alerts/version_info.h"
#include "diagnostics/event_ids.h"
#include "diagnostics/event_log_writer.h"
#include "state/pairs.h"
#include "wmi/wmi_tables.h"
#include "wmi/wmiservice.h"

namespace fenra {
namespace {

constexpr const char* kUnknown = "unknown";
constexpr size_t kVersionLineSize = 256;
constexpr size_t kRevisionSize = 256;
// From this row of DeviceClassTable on: the device classes of a PCI
// alert's details (the rows before are the pairs' own).
constexpr int kFirstDetailsRow = 2;

bool IsSimplexAlert(int index) { return index < kDuplexOffset; }

// The version line: the BMC firmware revision beside the platform version
// on platforms whose version begins below '5' (taken as a signed byte, so
// bytes of 0x80 and above count as below).
std::string VersionLine(Runtime& runtime) {
  if (runtime.shared.szSWVersion.get() == kUnknown) CheckSWVersion(runtime);
  std::string version = runtime.shared.szSWVersion.get();
  char verBuff[kVersionLineSize];
  if (static_cast<signed char>(version[0]) < '5') {
    char revision[kRevisionSize] = {};
    Frusys_Get_Bmc_Fw_Revision(runtime, revision, sizeof(revision));
    FormatText(verBuff, " (BMC FW:%s  Zelm: %s)\n", revision, version.c_str());
  } else {
    FormatText(verBuff, " (Zelm: %s)\n", version.c_str());
  }
  return verBuff;
}

}  // namespace

std::string FillTemplate(const char* text_template, const char* name) {
  std::string text;
  bool filled = false;
  for (const char* p = text_template; p != nullptr && *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == '%') {
      text += '%';
      ++p;
    } else if (p[0] == '%' && p[1] == 's' && !filled) {
      text += name;
      filled = true;
      ++p;
    } else {
      text += *p;
    }
  }
  return text;
}

void CutAtCharacter(System& system, std::string* text, size_t limit) {
  if (text->size() <= limit) return;
  const char* begin = text->c_str();
  const char* end = begin;
  for (;;) {
    const char* next = system.CharNext(end);
    if (next == end || static_cast<size_t>(next - begin) > limit) break;
    end = next;
  }
  text->resize(static_cast<size_t>(end - begin));
}

uint32_t EventLogOut(Runtime& runtime, const AlertRequest& request) {
  Trace& trace = runtime.trace;
  const MonitorConfig& config = runtime.shared.config();
  const int index = request.index;
  const ModulePair& pair = PairOfTimer(index);
  const bool cpu = pair.group == kGroupCpu;
  const int group_row = pair.device_class_row;
  const uint32_t generation = config.dwPlatformGen;

  Wmiservice wms(runtime);
  // Without a connection there is nobody to ask: the alert goes out with
  // its headline, time, versions and caption only.
  const bool connected = wms.connected();
  std::string group_text;
  if (connected) {
    int32_t code = QueryClassStatus(wms, DeviceClassTable[group_row][generation], &group_text);
    for (const char* line : AlertStatusLines(pair.group, code))
      if (line != nullptr) trace.TraceLog(line);
  }

  std::string cWkArea = FillTemplate(IsSimplexAlert(index) ? config.szIdfSimplex : config.szIdfDuplex,
                                     config.szDeviceClassName[group_row]);
  cWkArea += request.szOccurrenceTime;
  cWkArea += VersionLine(runtime);
  cWkArea += config.szIdsDetails;
  cWkArea += group_text;
  if (connected && !cpu) {
    for (uint32_t row = kFirstDetailsRow; row < config.nDeviceClass && row < kMaxDeviceClasses; ++row) {
      cWkArea += "\n ";
      cWkArea += config.szDeviceClassName[row];
      cWkArea += " :";
      std::string details;
      QueryClassStatus(wms, DeviceClassTable[row][generation], &details);
      cWkArea += details;
    }
  }
  // A long PCI alert is cut at the limit; the record is written all the same.
  CutAtCharacter(runtime.platform.system, &cWkArea, kAlertTextLimit);

  if (IsSimplexAlert(index))
    WriteEventLog(runtime.platform, EVSRC_FTMARVIX, EVID_SIMPLEX_ALERT, cWkArea.c_str(), win::kEventlogWarningType,
                  "StdAfx", __LINE__);
  else
    WriteEventLog(runtime.platform, EVSRC_FTMARVIX, EVID_DUPLEX_ALERT, cWkArea.c_str(),
                  win::kEventlogInformationType, "StdAfx", __LINE__);
  return 1;
}

}  // namespace fenra
