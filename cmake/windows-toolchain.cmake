# 64-bit Windows with MinGW-w64. The posix-threads variant of the compiler:
# the win32-threads one has no std::mutex or std::thread. Programs are linked
# statically, so that they need no DLL beyond those Windows provides, and are
# run under Wine (wine-run) with the build folder's own prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TRELVANE_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TRELVANE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRELVANE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TRELVANE_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TRELVANE_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run ${CMAKE_BINARY_DIR}/wine)
