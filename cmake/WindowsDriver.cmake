# CorvaleUPS.dll: the Windows back end, DllMain, the version resource, and exactly six exports
# under their plain names. Everything from the compiler's runtime is linked in statically, so the
# DLL needs nothing beside it but KERNEL32, ADVAPI32 and msvcrt.
enable_language(RC)
target_sources(CorvaleUPS PRIVATE
  ${PROJECT_SOURCE_DIR}/platform/windows/platform_windows.cpp
  ${PROJECT_SOURCE_DIR}/driver/attach_windows.cpp
  ${PROJECT_SOURCE_DIR}/driver/CorvaleUPS.rc
  ${PROJECT_SOURCE_DIR}/driver/CorvaleUPS.def)
target_link_libraries(CorvaleUPS PRIVATE advapi32)
# The entry point by its linker name: stdcall decorates it on 32-bit only.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(dll_entry _DllMain@12)
else()
  set(dll_entry DllMain)
endif()
target_link_options(CorvaleUPS PRIVATE -static -static-libgcc -static-libstdc++ -s -nostartfiles
  -Wl,--entry,${dll_entry})
# Windows 2000 is the oldest system whose UPS service loads minidrivers.
target_compile_definitions(CorvaleUPS PRIVATE _WIN32_WINNT=0x0500 WINVER=0x0500
  WIN32_LEAN_AND_MEAN)
set_target_properties(CorvaleUPS PROPERTIES PREFIX "" OUTPUT_NAME CorvaleUPS)
