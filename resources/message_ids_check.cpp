// Compiled with the message file: every event ID that the service writes
// has its text in FENRAAPI.mc, under the same number.

#include "FENRAAPI.h"
#include "diagnostics/event_ids.h"
#include "platform/win32/windows_api.h"

static_assert(MSG_SERVICE_STARTED == fenra::EVID_SERVICE_STARTED);
static_assert(MSG_SERVICE_STOPPED == fenra::EVID_SERVICE_STOPPED);
static_assert(MSG_CTRL_HANDLER_FAILED == fenra::EVID_CTRL_HANDLER_FAILED);
static_assert(MSG_API_FAILED == fenra::EVID_API_FAILED);
static_assert(MSG_WAIT_FAILED == fenra::EVID_WAIT_FAILED);
static_assert(MSG_MONITOR_ENDED == fenra::EVID_MONITOR_ENDED);
static_assert(MSG_WMI_UNAVAILABLE == fenra::EVID_WMI_UNAVAILABLE);
static_assert(MSG_SIMPLEX_ALERT == fenra::EVID_SIMPLEX_ALERT);
static_assert(MSG_DUPLEX_ALERT == fenra::EVID_DUPLEX_ALERT);
static_assert(MSG_EVENTLOG_ERROR == fenra::EVID_EVENTLOG_ERROR);
