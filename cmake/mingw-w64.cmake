# Cross-build for Windows with Debian's mingw-w64 (posix thread model, so that the test programs
# can use std::thread and std::mutex); tests run under Wine. Included by the toolchain file of
# each target: CORVALE_MINGW names the compiler triplet.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${CORVALE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVALE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVALE_MINGW}-windres)
set(CORVALE_WINDMC ${CORVALE_MINGW}-windmc)
set(CMAKE_FIND_ROOT_PATH /usr/${CORVALE_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
# Test programs carry their runtime inside, so Wine needs no DLLs from the toolchain.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
