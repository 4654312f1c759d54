# 32-bit Windows build (the reference DLL) with MinGW-w64.
set(TROVEL_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
