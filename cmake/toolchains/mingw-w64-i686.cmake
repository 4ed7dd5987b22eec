# 32-bit Windows: the service as it is installed. Its tests run under
# WoW64 Wine (wine64 with wine32), as on the 64-bit servers it ships to.
set(FENRA_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run)
