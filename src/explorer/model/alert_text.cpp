#include "explorer/model/alert_text.h"

#include <cstdio>
#include <functional>
#include <map>

namespace fenra::explorer::model {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The state words of a status walk; a code without one reads " unknown".
std::string StateWord(int32_t state) {
  static const std::map<int32_t, const char*> kWords = {{0x10000, " EMPTY"},
                                                        {0x20001, " REMOVED"},
                                                        {0x200002, " SHOT"},
                                                        {0x200003, " BROKEN"},
                                                        {0x20004, " DUMPING"},
                                                        {0x40005, " DIAGNOSTICS"},
                                                        {0x20006, " DIAGNOSTICS_PASSED"},
                                                        {0x20007, " INITIALIZING"},
                                                        {0x20008, " SYNCING"},
                                                        {0x20009, " FIRMWARE_UPDATE"},
                                                        {0x2000A, " OFFLINE"},
                                                        {0x2000B, " DEVICE_READY"},
                                                        {0x2000C, " STOPPED"},
                                                        {0x20010, " FIRMWARE_UPDATE_COMPLETE"},
                                                        {0x80014, " ONLINE"},
                                                        {0x80015, " SIMPLEX"},
                                                        {0x180016, " DUPLEX"},
                                                        {0x180017, " TRIPLEX"},
                                                        {0x10018, " NOT_PRESENT"}};
  auto found = kWords.find(state);
  return found == kWords.end() ? " unknown" : found->second;
}

// Per generation, the six device classes a PCI alert lists under its
// details, in order, with their display names.
struct Listed {
  const char* cls;
  const char* english;
  const char* japanese;
};
const Listed kListed[3][6] = {{{"DOD_PCISlotInfo", "PCI Slot", "PCIスロット"},
                               {"DOD_SCSIAdapter", "SCSI Adapter", "SCSIアダプタ"},
                               {"DOD_SCSIBus", "SCSI Bus", "SCSIバス"},
                               {"DOD_Ethernet", "Ethernet", "イーサネットボード"},
                               {"DOD_SCSIEnclosure", "SCSI Enclosure", "SCSIエンクロージャ"},
                               {"DOD_SCSISlot", "SCSI Slot", "SCSIスロット"}},
                              {{"VUR_PCISlotInfo", "PCI Slot", "PCIスロット"},
                               {"VUR_PCIAdapter", "PCI Adapter", "PCIアダプタ"},
                               {"VUR_PCIEmbeddedDevice", "PCI Embedded Device", "PCIデバイス"},
                               {"DOD_SCSIBus", "SCSI Bus", "SCSIバス"},
                               {"DOD_SCSIEnclosure", "SCSI Enclosure", "SCSIエンクロージャ"},
                               {"DOD_SCSISlot", "SCSI Slot", "SCSIスロット"}},
                              {{"DOD_SCSIDisk", "SCSI Disk", "SCSIディスク"},
                               {"VUR_NetworkPort", "NetworkPort", "NetworkPort"},
                               {"VUR_PCISlotInfo", "PCI Slot", "PCIスロット"},
                               {"VUR_EnclosureSlot", "Enclosure Slot", "エンクロージャスロット"},
                               {"VUR_PCIEmbeddedDevice", "PCI Embedded Device", "PCIデバイス"},
                               {"VUR_StorageEnclosure", "Storage Enclosure", "ストレージエンクロージャ"}}};

// One line per instance: a line feed, the name, the state word (none when
// the instance has no state).
std::string Lines(const Setting& s, int64_t at, const std::function<bool(const Instance&)>& listed) {
  std::string text;
  for (const Instance& instance : s.instances) {
    if (!listed(instance)) continue;
    text += "\n" + instance.name;
    if (auto state = instance.StateAt(at)) text += StateWord(*state);
  }
  return text;
}

}  // namespace

std::string OccurrenceText(const Setting& s, int64_t t) {
  LocalTime time = LocalAt(s.clock, t);
  char text[64];
  std::snprintf(text, sizeof text, " %d.%02d.%02d  %02d:%02d:%02d", time.year, time.month, time.day, time.hour,
                time.minute, time.second);
  return text;
}

std::string AlertText(const Setting& s, int pair, bool simplex, int64_t occurrence_ms, int64_t modules_ms,
                      std::optional<int64_t> devices_ms) {
  const bool cpu = pair == 0;
  std::string name =
      cpu ? (s.japanese ? "CPUモジュール" : "CPU Module") : (s.japanese ? "PCIモジュール" : "PCI Module");
  std::string text = name;
  if (s.japanese)
    text += simplex ? "が縮退状態です。\n[発生時刻]" : "が冗長状態です。\n[発生時刻]";
  else
    text += simplex ? " changed to SIMPLEX state.\n[Occurrence Time]" : " changed to DUPLEX state.\n[Occurrence Time]";
  text += OccurrenceText(s, occurrence_ms) + "\n";
  signed char first = static_cast<signed char>(s.version.empty() ? 0 : s.version[0]);
  text += first < '5' ? " (BMC FW:" + s.bmc + "  Zelm: " + s.version + ")\n" : " (Zelm: " + s.version + ")\n";
  text += s.japanese ? "[詳細]" : "[Details]";
  text += Lines(s, modules_ms, [cpu](const Instance& i) { return cpu ? i.cpu : i.pci; });
  if (cpu) return text;
  for (const Listed& listed : kListed[s.generation]) {
    text += std::string("\n ") + (s.japanese ? listed.japanese : listed.english) + " :";
    if (!devices_ms) continue;
    text +=
        Lines(s, *devices_ms, [&](const Instance& i) { return !i.cpu && !i.pci && Lower(i.cls) == Lower(listed.cls); });
  }
  return text;
}

}  // namespace fenra::explorer::model
