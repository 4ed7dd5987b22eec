#pragma once
// The server's COM identity: its AppID (the registration script, the
// registration and the start-up check) and the LIBID of its type library.
// Read by the core and by the resource build (resources/CMakeLists.txt),
// so keep each on one line in exactly this shape.

namespace fenra {

inline constexpr const char* kAppId = "{9F07DCBF-3541-4E55-B72E-E20AC56E85AA}";
inline constexpr const char* kLibId = "{08863F86-0684-40F6-BE01-37DE63727DFF}";

}  // namespace fenra
