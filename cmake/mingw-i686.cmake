# 32-bit Windows build (the reference DLL) with MinGW-w64.
set(TROVEL_MINGW_ARCH i686)
# Floating point in SSE registers: a float loaded onto the x87 stack would have a
# signalling NaN quietened, and the library passes floats through bit for bit.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
