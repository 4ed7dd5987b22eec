#pragma once
// Wmiservice: one connection to the local WMI service's ROOT\cimv2
// namespace with at most one open result set. Created, used and destroyed
// by one thread, which joins the multithreaded COM apartment through it.
//
// It never reports a connection failure to its owner: it sets the
// monitor's stopflg, which the owner tests after construction. Every step
// and failure is one trace line.

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "platform/wmi.h"
#include "runtime.h"

namespace fenra {

// The wide text buffers that getText and GetStatus fill.
inline constexpr size_t kWmiTextSize = 10000;
// Queries are built in buffers of this many wide characters.
inline constexpr size_t kQueryBufferSize = 256;
// The connect loop: attempts and the pause between two of them.
inline constexpr int kConnectAttempts = 20;
inline constexpr uint32_t kConnectRetryPause = 30000;
// Next calls for one instance of a status walk before the monitor stops.
inline constexpr int kStatusNextLimit = 6;

// The module flags of a status walk.
struct ModuleFlags {
  bool S0 = false, S1 = false, S2 = false, S10 = false, S11 = false, SX = false;
  bool D0 = false, D1 = false, T = false;
};
// Sets the flag that `state` gives for module number `module` (-1 when the
// instance had no usable name, which sets none).
void NoteModuleState(ModuleFlags& flags, int32_t state, int32_t module);
// The status code of a completed walk: the first rule of the
// classification that holds, 0 when no flag is set.
int32_t DecideStatus(const ModuleFlags& flags);

// The state code of each module a status walk could read, by module number
// (instances without a usable name or state are left out).
using ModuleStates = std::map<int32_t, int32_t>;

class Wmiservice {
 public:
  // Connects; on failure stopflg is 1 and the object is unconnected. May
  // block for up to 19 pauses of 30 s and does not look at stopflg then.
  explicit Wmiservice(Runtime& runtime);
  // Releases what is held and ends the thread's COM use if it is still open.
  ~Wmiservice();
  Wmiservice(const Wmiservice&) = delete;
  Wmiservice& operator=(const Wmiservice&) = delete;

  bool connected() const { return pSvc != nullptr; }
  Runtime& runtime() const { return runtime_; }

  // Runs a WQL instance query of at most 255 characters: 0 = enumerator
  // opened, 1 = failed (also when unconnected or the query is longer; the
  // previous result set is dropped either way).
  int serchbyWQL(const wchar_t* query);
  // Subscribes to change events of `target`: an event class name, or a class
  // name in apostrophes for the ISA form. 0 = subscribed, 1 = failed.
  int getEvent(const wchar_t* target);
  // Waits for the next event and copies its MOF text into `text`, cut to
  // fit. 0 = copied, or nothing copied because of stopflg or a failed
  // GetObjectText (the buffer is then unchanged); 1 = no subscription;
  // -1 = Next failed or raised, and the subscription is gone.
  int getText(std::span<wchar_t> text);
  // Walks the result set of the preceding serchbyWQL: appends a line per
  // instance to `text` (cut off at the buffer's end) and returns the status
  // code; -1 without a result set or when Next raised; 0 when the walk ended
  // early (see stopflg). `states`, when given, receives each module's state.
  int32_t GetStatus(std::span<wchar_t> text, ModuleStates* states = nullptr);

 private:
  void EndCom();
  void ReportUnavailable();
  void ReadInstance(WbemClassObject& object, std::span<wchar_t> text, ModuleFlags& flags, ModuleStates* states);
  int OpenResultSet(bool notification, const wchar_t* prefix, const wchar_t* tail);

  Runtime& runtime_;
  EnumWbemClassObjectPtr pEnumProcess;
  int32_t hResInit = 0;
  int32_t hRes = 0;
  WbemLocatorPtr pLocator;
  WbemServicesPtr pSvc;
  uint32_t uReturned = 0;
  // True from a successful CoInitializeEx until its one CoUninitialize.
  bool com_open_ = false;
};

// The status walk over the instances of one WMI class: runs "select
// OperationalState,InstanceName from <class_name>" and GetStatus, and
// hands back the status code. When `text` is given it receives the status
// text in the ANSI code page, at most kWmiTextSize - 1 bytes; `states`, each
// module's state.
int32_t QueryClassStatus(Wmiservice& wms, const char* class_name, std::string* text,
                         ModuleStates* states = nullptr);

}  // namespace fenra
