#include "wmi/wmiservice.h"

#include <cwchar>
#include <string>
#include <vector>

#include "diagnostics/event_ids.h"
#include "diagnostics/event_log_writer.h"
#include "state/shared_state.h"
#include "support/wide_text.h"
#include "wmi/state_text.h"
#include "wmi/wmi_tables.h"

namespace fenra {
namespace {

constexpr char kConnectServerFailed[] = "[Wmiservice]ConnectServer FAIL!! : %x";

constexpr const wchar_t* kNamespace = L"ROOT\\cimv2";
constexpr const wchar_t* kQueryLanguage = L"WQL";
constexpr size_t kInstanceNameSize = 256;

unsigned Hex(int32_t hr) { return static_cast<unsigned>(hr); }

// The signed decimal that the platform prints for an interface pointer.
int PointerValue(const EnumWbemClassObject* pointer) {
  return pointer == nullptr ? 0 : static_cast<int>(static_cast<uint32_t>(pointer->Address()));
}

}  // namespace

void NoteModuleState(ModuleFlags& flags, int32_t state, int32_t module) {
  // A module number of -1 (no name) identifies no module and sets nothing,
  // TRIPLEX included.
  if (module < 0) return;
  if (state == STATE_TRIPLEX) {
    flags.T = true;
  } else if (state == STATE_SIMPLEX) {
    switch (module) {
      case 0: flags.S0 = true; break;
      case 1: flags.S1 = true; break;
      case 2: flags.S2 = true; break;
      case 10: flags.S10 = true; break;
      case 11: flags.S11 = true; break;
      case 12:
      case 13: flags.SX = true; break;
      default: break;
    }
  } else if (state == STATE_DUPLEX) {
    if (module == 0) flags.D0 = true;
    if (module == 1) flags.D1 = true;
  }
}

int32_t DecideStatus(const ModuleFlags& f) {
  if (f.T) return 2;
  if (f.S0 && f.S1) return 9;
  if (f.S0 && f.D1) return 10;
  if (f.S0) return 13;
  if (f.S1 && f.D0) return 11;
  if (f.S1) return 14;
  if (f.S2) return 1;
  if (f.D0 && f.D1) return 12;
  if (f.D0) return 15;
  if (f.D1) return 16;
  if (f.SX && (f.S10 || f.S11)) return 3;
  if (f.SX) return 5;
  if (f.S10 && f.S11) return 6;
  if (f.S10) return 7;
  if (f.S11) return 8;
  return 0;
}

Wmiservice::Wmiservice(Runtime& runtime) : runtime_(runtime) {
  Platform& platform = runtime_.platform;
  Trace& trace = runtime_.trace;
  int attempts = 0;

  hResInit = platform.com.CoInitializeEx(win::kCoinitMultithreaded);
  if (hResInit < 0) {
    trace.TraceLogF("[Wmiservice]CoInitializeEx FAIL!! : %x", Hex(hResInit));
    runtime_.shared.stopflg = 1;
    return;
  }
  com_open_ = true;

  // RPC_E_TOO_LATE: the process's security is already set, the normal case.
  hResInit = platform.com.CoInitializeSecurity(win::kRpcCAuthnLevelConnect, win::kRpcCImpLevelIdentify);
  if (hResInit != win::kSOk && hResInit != win::kRpcETooLate)
    trace.TraceLogF("[Wmiservice]CoInitializeSecurity FAIL!! : %x", Hex(hResInit));

  hResInit = platform.wmi.CreateLocator(&pLocator);
  if (hResInit < 0 || !pLocator) {
    trace.TraceLogF("[Wmiservice]CoCreateInstance FAIL!! : %x", Hex(hResInit));
    pLocator.reset();
    runtime_.shared.stopflg = 1;
    EndCom();
    return;
  }

  for (;;) {
    std::wstring resource = kNamespace;
    hResInit = pLocator->ConnectServer(resource, &pSvc);
    if (hResInit >= 0 && pSvc) break;
    pSvc.reset();
    trace.TraceLogF(kConnectServerFailed, Hex(hResInit));
    if (++attempts >= kConnectAttempts) {
      trace.TraceLogF(kConnectServerFailed, Hex(hResInit));
      runtime_.shared.stopflg = 1;
      pLocator.reset();
      EndCom();
      return;
    }
    platform.kernel.Sleep(kConnectRetryPause);
  }

  hResInit = platform.wmi.SetProxyBlanket(*pSvc, win::kRpcCAuthnWinnt, win::kRpcCAuthzNone,
                                          win::kRpcCAuthnLevelCall, win::kRpcCImpLevelImpersonate);
  if (hResInit < 0) {
    trace.TraceLogF("[Wmiservice]CoSetProxyBlanket FAIL!! : %x", Hex(hResInit));
    runtime_.shared.stopflg = 1;
    pSvc.reset();
    pLocator.reset();
    EndCom();
  }
}

Wmiservice::~Wmiservice() {
  // A result set still held (after a stop or the retry limit) goes first:
  // nothing of WMI may outlive the thread's COM use.
  pEnumProcess.reset();
  pSvc.reset();
  pLocator.reset();
  EndCom();
}

void Wmiservice::EndCom() {
  if (!com_open_) return;
  com_open_ = false;
  runtime_.platform.com.CoUninitialize();
}

void Wmiservice::ReportUnavailable() {
  WriteEventLog(runtime_.platform, EVSRC_ZUFT, EVID_WMI_UNAVAILABLE, nullptr, win::kEventlogWarningType,
                "wmiservice", __LINE__);
  runtime_.shared.stopflg = 1;
}

int Wmiservice::OpenResultSet(bool notification, const wchar_t* prefix, const wchar_t* tail) {
  std::wstring query = prefix;
  query += tail ? tail : L"";
  uReturned = 1;
  // A failed or refused query leaves no result set behind, so that a
  // GetStatus that follows finds none rather than an old one.
  pEnumProcess.reset();
  int32_t result = 0;
  if (!pSvc) {
    result = win::kWbemEFailed;
  } else if (query.size() > kQueryBufferSize - 1) {
    // Cut short it would be another query; refuse it as WMI refuses a bad one.
    result = win::kWbemEInvalidQuery;
  } else if (notification) {
    result = pSvc->ExecNotificationQuery(kQueryLanguage, query,
                                         win::kWbemFlagReturnImmediately | win::kWbemFlagForwardOnly,
                                         &pEnumProcess);
  } else {
    result = pSvc->ExecQuery(kQueryLanguage, query, win::kWbemFlagReturnImmediately, &pEnumProcess);
  }
  if (result < 0) pEnumProcess.reset();

  if (notification)
    runtime_.trace.TraceLogF("[getEvent]ExecNotificationQuery : %x", Hex(result));
  else
    runtime_.trace.TraceLogF("[serchbyWQL]pSvc->ExecQuery(hRes pEnumProcess : %x %d)", Hex(result),
                             PointerValue(pEnumProcess.get()));
  return result < 0 ? 1 : 0;
}

int Wmiservice::serchbyWQL(const wchar_t* query) { return OpenResultSet(false, L"", query); }

int Wmiservice::getEvent(const wchar_t* target) {
  bool isa = target != nullptr && target[0] == L'\'';
  return OpenResultSet(true, isa ? kIsaQueryPrefix : kEventClassQueryPrefix, target);
}

int Wmiservice::getText(std::span<wchar_t> text) {
  Trace& trace = runtime_.trace;
  if (!pEnumProcess) return 1;

  WbemClassObjectPtr object;
  try {
    for (;;) {
      if (StopRequested(runtime_.shared, trace, "getText")) return 0;
      object.reset();
      hRes = pEnumProcess->Next(win::kWbemInfinite, &object, &uReturned);
      trace.TraceLogF("[getText]pEnumProcess->Next(hRes uReturned : %x %x)", Hex(hRes), uReturned);
      if (hRes != win::kWbemSTimedout) break;
    }
  } catch (...) {
    trace.TraceLog("[getText]catch error pEnumProcess->Next");
    return -1;
  }

  if (hRes == win::kWbemECallCancelled) ReportUnavailable();
  if (StopRequested(runtime_.shared, trace, "getText")) return 0;
  if (hRes >= 0 && uReturned == 1 && object) {
    std::wstring mof;
    hRes = object->GetObjectText(&mof);
    if (hRes >= 0 && !text.empty()) {
      text[0] = L'\0';
      AppendWide(text, mof);
    }
    return 0;
  }
  if (pEnumProcess) {
    pEnumProcess.reset();
    return -1;
  }
  trace.TraceLog("CreateInstanceEnum() failed:");
  return -1;
}

int32_t Wmiservice::GetStatus(std::span<wchar_t> text, ModuleStates* states) {
  Trace& trace = runtime_.trace;
  SharedState& monitor = runtime_.shared;
  ModuleFlags flags;
  int r = 0;

  for (;;) {
    WbemClassObjectPtr object;
    try {
      for (;;) {
        if (!pEnumProcess) {
          trace.TraceLog("[GetStatus]pEnumProcess == NULL retrun -1");
          return -1;
        }
        if (StopRequested(monitor, trace, "GetStatus")) return 0;
        object.reset();
        hRes = pEnumProcess->Next(monitor.config().Timeout_value, &object, &uReturned);
        trace.TraceLogF("[GetStatus]roop r : %d", r);
        ++r;
        if (r == kStatusNextLimit) {
          trace.TraceLogF("[GetStatus]Retry timeout(hRes uReturned r Timeout_v: %x %x %d %ld)", Hex(hRes),
                          uReturned, r, static_cast<long>(monitor.config().Timeout_value));
          ReportUnavailable();
          return 0;
        }
        if (hRes != win::kWbemSTimedout) break;
      }
    } catch (...) {
      trace.TraceLog("[GetStatus]catch error pEnumProcess->Next");
      return -1;
    }
    r = 0;

    if (hRes == win::kWbemSFalse) {
      trace.TraceLogF("[GetStatus]pEnumProcess->Next(hRes uReturned Timeout_v: %x %x %ld)", Hex(hRes), uReturned,
                      static_cast<long>(monitor.config().Timeout_value));
      pEnumProcess.reset();
      return DecideStatus(flags);
    }
    if (hRes == win::kWbemECallCancelled) {
      trace.TraceLogF("[GetStatus]pEnumProcess->Next(hRes uReturned : %x %x)", Hex(hRes), uReturned);
      ReportUnavailable();
    }
    if (StopRequested(monitor, trace, "GetStatus")) return 0;
    if (hRes < 0 || uReturned != 1 || !object) {
      trace.TraceLogF("[GetStatus]pEnumProcess->Next(hRes uReturned : %x %x) -> Get State faild", Hex(hRes),
                      uReturned);
      pEnumProcess.reset();
      return 0;
    }
    ReadInstance(*object, text, flags, states);
  }
}

void Wmiservice::ReadInstance(WbemClassObject& object, std::span<wchar_t> text, ModuleFlags& flags,
                              ModuleStates* states) {
  AppendWide(text, L"\n");

  int32_t module = -1;
  WmiValue name;
  hRes = object.Get(L"InstanceName", &name);
  if (hRes >= 0) {
    if (const std::wstring* wide = std::get_if<std::wstring>(&name)) {
      char narrow[kInstanceNameSize];
      NarrowText(runtime_.platform.system, *wide, narrow);
      module = TextToInt(narrow);
      AppendWide(text, *wide);
    } else {
      AppendWide(text, L"NoInstanceName");
    }
  }

  WmiValue operational_state;
  hRes = object.Get(L"OperationalState", &operational_state);
  if (hRes != win::kSOk) return;
  // A null value holds no embedded object: a failed read like any other.
  const WbemClassObjectPtr* embedded = std::get_if<WbemClassObjectPtr>(&operational_state);
  if (embedded == nullptr || *embedded == nullptr) return;
  WbemClassObjectPtr tgtInst = *embedded;
  WmiValue state;
  hRes = tgtInst->Get(L"State", &state);
  if (hRes != win::kSOk) return;
  const int32_t* code = std::get_if<int32_t>(&state);
  if (code == nullptr) return;

  AppendWide(text, StateTextW(runtime_.trace, *code));
  NoteModuleState(flags, *code, module);
  if (states != nullptr && module >= 0) (*states)[module] = *code;
}

int32_t QueryClassStatus(Wmiservice& wms, const char* class_name, std::string* text, ModuleStates* states) {
  std::wstring query = kStatusQueryPrefix;
  wchar_t wide_class[kQueryBufferSize];
  WidenText(class_name ? class_name : "", wide_class);
  query += wide_class;
  wms.serchbyWQL(query.c_str());
  std::vector<wchar_t> status(kWmiTextSize, L'\0');
  int32_t code = wms.GetStatus(status, states);
  if (text != nullptr) {
    std::vector<char> narrow(kWmiTextSize);
    size_t length =
        NarrowText(wms.runtime().platform.system, std::wstring_view(status.data(), WideLength(status)), narrow);
    text->assign(narrow.data(), length);
  }
  return code;
}

}  // namespace fenra
