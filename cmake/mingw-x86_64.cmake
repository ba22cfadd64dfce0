# Cross build of the same sources for 64-bit Windows, for machines whose kernel
# cannot run 32-bit code (and so no 32-bit Wine); tests run under 64-bit Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUORWIND_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
