# 32-bit Windows: the service as it is installed.
set(FENRA_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
