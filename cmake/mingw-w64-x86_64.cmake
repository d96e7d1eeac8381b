# Cross-building for Windows x86-64 with Debian's MinGW-w64, the posix thread
# model (std::mutex, std::thread and std::condition_variable need it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LCMP_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LCMP_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LCMP_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${LCMP_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${LCMP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# libstdc++, libgcc and winpthread linked in: the DLL and the programs import
# only Windows system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# Programs built here run under Wine (tests, discovery of googletest cases).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
