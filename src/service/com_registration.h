#pragma once
// The registry entries of the executable as an out-of-process COM server
// with one AppID, no classes and one type library. The platform's COM
// server library (its registrar running the registration script, its type
// library registration) is not used: these functions write and remove
// exactly the entries it would.

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "resources/com_identity.h"

namespace fenra {

// kAppId and kLibId, the server's AppID and the LIBID of its type library
// FENRALib 1.0, are those of the executable's resources.
// HKEY_CLASSES_ROOT\AppID, and the AppID's key beneath it.
inline constexpr const char* kAppIdRoot = "AppID";
std::string AppIdKey();

// The registration script in register mode: creates HKCR\AppID, beneath it
// the AppID's key (default value "FENRA") and the key FENRA.EXE (value
// AppID naming the AppID). In unregister mode it deletes those two keys,
// with whatever values they hold, and never AppID itself. An HRESULT.
int32_t UpdateRegistryFromScript(Registry& registry, bool do_register);

// RegisterTypeLib for the type library in the executable: under
// HKCR\TypeLib\{LIBID}\1.0 the help string, 409\win32 (the executable's
// path; win64 in the 64-bit Windows build, whose library is a 64-bit one),
// FLAGS ("0") and HELPDIR (the executable's directory). An HRESULT,
// TYPE_E_REGISTRYACCESS when a key or value cannot be written.
int32_t RegisterTypeLibrary(Platform& platform);
// UnRegisterTypeLib: removes what RegisterTypeLibrary wrote; the version
// and LIBID keys stay while another locale or platform is registered.
void UnregisterTypeLibrary(Platform& platform);

}  // namespace fenra
