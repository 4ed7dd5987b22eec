#pragma once
// The versions every alert carries: the platform software version
// (szSWVersion) and the firmware revision of the baseboard management
// controller. Both fall back to "unknown" on every failure, so that an alert
// can always be written, and report nothing but trace lines.

#include <cstddef>

#include "runtime.h"

namespace fenra {

// Finds the platform software version and stores it in szSWVersion: the
// registry value TrelvaneVersion, or, without its key, the version derived
// from the file version of the platform driver zerod.sys. 1 when a version
// was stored, 0 when "unknown" was. Also traces the executable's own file
// version. Callable from several threads; szSWVersion is replaced whole.
int CheckSWVersion(Runtime& runtime);

// Writes the BMC firmware revision as "%02X.%02X" into `revision` (256
// bytes in every caller), through the hardware library or, when the
// library cannot be loaded or lacks an entry, the IPMI driver; "unknown" on
// every failure.
// 1 when a revision was written. While the BMC's sensor repository
// initialises it waits up to 24 times 5 s on hServiceEvent, so a stop
// request ends the wait at once. Callable from several threads.
int Frusys_Get_Bmc_Fw_Revision(Runtime& runtime, char* revision, size_t size);

// The trace texts with which a user of the hardware library reports a
// failed load and missing entries (each takes the last error as %d).
struct LibraryTraceTexts {
  const char* load_error;
  const char* status_entry_missing;
  const char* device_id_entry_missing;
};

// Copies of the library's entries; holding them keeps the library loaded.
struct HardwareLibraryEntries {
  bool loaded = false;
  LibraryProc get_sdr_repository_status;
  LibraryProc get_device_id;
};

// Loads the hardware library into the monitor's library state when it is
// not loaded yet (from the system's and the program's folders and the
// vendor's installation folder) and looks up the entries still missing,
// tracing every failure with `texts`. Thread-safe: concurrent first users load it once.
HardwareLibraryEntries LoadHardwareLibrary(Runtime& runtime, const LibraryTraceTexts& texts);

// Drops the monitor's references to the library and its entries
// (ServiceThread at its end). Users still holding entries keep the library
// loaded until they are done; a later user loads it anew.
void ReleaseHardwareLibrary(SharedState& monitor);

}  // namespace fenra
