# The 64-bit twin of the shipped build: the same sources, for running the Windows tests under
# 64-bit Wine where 32-bit Wine cannot run. Never shipped.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CORVALE_MINGW x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
