#pragma once
// The server's COM identity: its AppID (the registration script, the
// registration and the start-up check) and the LIBID of its type library.
// Read by the core and by the resource build (resources/CMakeLists.txt),
// so keep each on one line in exactly this shape.

namespace fenra {

inline constexpr const char* kAppId = "{4BEE5FA6-DFDD-4A81-9B31-C34B664B53AA}";
inline constexpr const char* kLibId = "{DDA9051D-7548-4CCC-866B-DE5BCE57FBA4}";

}  // namespace fenra
