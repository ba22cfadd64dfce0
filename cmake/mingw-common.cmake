# Shared part of the mingw-w64 toolchains; QUORWIND_MINGW_TRIPLE names the target.
# The posix thread model gives GoogleTest its std::mutex; the program itself
# starts no thread, and static linking keeps winpthread out of its DLL list.
set(CMAKE_C_COMPILER ${QUORWIND_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORWIND_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORWIND_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORWIND_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)
# Everything static: the executable needs no DLL but the system's.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
